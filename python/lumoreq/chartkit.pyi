import logging
import os as os

import matplotlib as matplotlib
import pandas as pd

logger: logging.Logger
