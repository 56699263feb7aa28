from datetime import datetime as datetime

import numpy as np
import pandas as pd
