import logging
import os as os
from datetime import timedelta as _timedelta
from typing import Any

import matplotlib as matplotlib
import pandas as pd

logger: logging.Logger

font_title: dict[str, Any]
font_xlabel: dict[str, Any]
font_unit: dict[str, Any]
font_suptitle: dict[str, Any]
legend_font: dict[str, Any]

# Chinese font families appended behind the style's own names when those are not installed.
_appended_fonts: list[str]

def create_figures_folder() -> None: ...
def calculate_stats(df: pd.DataFrame, column: str = "OBSVALUE", multiplier: float = 2.0) -> dict[str, float]: ...
def get_freq_str(timedelta: _timedelta | pd.Timedelta) -> str: ...
def reindex_df_by_interval(df: pd.DataFrame) -> pd.DataFrame: ...
