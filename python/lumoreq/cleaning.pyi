import logging

import numpy as np
import pandas as pd

logger: logging.Logger
