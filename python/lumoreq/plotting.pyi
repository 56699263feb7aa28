from typing import Any

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from .chartkit import (
    calculate_stats as calculate_stats,
    create_figures_folder as create_figures_folder,
    font_suptitle as font_suptitle,
    font_title as font_title,
    font_unit as font_unit,
    font_xlabel as font_xlabel,
    get_freq_str as get_freq_str,
    legend_font as legend_font,
    reindex_df_by_interval as reindex_df_by_interval,
)
from .chartwork import TSPlotter as TSPlotter
from .yearcompare import plot_annual_comparison as plot_annual_comparison

def plot_by_items(
    ts: pd.DataFrame,
    conn: Any = None,
    metadata_dir: str | None = None,
    refresh_metadata: bool = False,
    mean_color: str = "r",
    std_color: str = "gray",
    **kwargs: Any,
) -> tuple[Figure | None, np.ndarray | None]: ...
def plot_by_stations(
    ts: pd.DataFrame,
    conn: Any = None,
    metadata_dir: str | None = None,
    refresh_metadata: bool = False,
    mean_color: str = "r",
    std_color: str = "gray",
    **kwargs: Any,
) -> tuple[Figure | None, np.ndarray | None]: ...
