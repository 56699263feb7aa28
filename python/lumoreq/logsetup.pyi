import logging as logging
import os as os
from pathlib import Path as Path

log_dir: Path
log_file: Path
plotting_logger: logging.Logger
fetching_logger: logging.Logger
cleaning_logger: logging.Logger
