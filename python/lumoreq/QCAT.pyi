import numpy as np
import pandas as pd
from geopy.distance import geodesic as geodesic
