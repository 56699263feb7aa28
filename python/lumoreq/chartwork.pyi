import logging
from typing import Any

import matplotlib.pyplot as plt
import matplotlib.ticker
import numpy as np
import pandas as pd
from matplotlib.axes import Axes
from matplotlib.figure import Figure

from . import fetching as tsf

logger: logging.Logger

font_title: dict[str, Any]
font_unit: dict[str, Any]
font_xlabel: dict[str, Any]

def create_figures_folder() -> None: ...
def calculate_stats(df: pd.DataFrame, column: str = "OBSVALUE", multiplier: float = 2.0) -> dict[str, float]: ...
def reindex_df_by_interval(df: pd.DataFrame) -> pd.DataFrame: ...

# Long line series are drawn as their per-pixel-column reduction; False draws every point.
_display_reduction: bool
# Seconds spent per phase (grouping, processing, drawing, saving) by the last builder call.
_last_timings: dict[str, float]
# Kept sample positions of the line reduction (int64 times, float values, number of columns).
def _reduce_indices(times: np.ndarray, values: np.ndarray, bins: int) -> np.ndarray: ...

# The builders' grouping by three key columns: {(key1, key2, key3): row positions}.
def _key_groups(ts: pd.DataFrame, first: str, second: str, third: str) -> dict[tuple[Any, Any, Any], np.ndarray]: ...

class _SignlessZeroFormatter(matplotlib.ticker.ScalarFormatter):
    """ScalarFormatter that writes a rounded-away negative zero without its sign."""

class TSPlotter:
    """时间序列绘图类，提供灵活的绘图功能"""

    conn: Any
    stations_table: pd.DataFrame
    points_table: pd.DataFrame
    items_table: pd.DataFrame
    stats_style: dict[str, Any]

    def __init__(
        self,
        conn: Any = None,
        mean_color: str = "r",
        std_color: str = "gray",
        mean_linestyle: str = "--",
        std_linestyle: str = ":",
        mean_alpha: float = 0.7,
        std_alpha: float = 0.5,
        mean_linewidth: float = 1.0,
        std_linewidth: float = 1.0,
        metadata_dir: str | None = None,
        refresh_metadata: bool = False,
    ) -> None: ...
    def set_stats_style(self, **kwargs: Any) -> None: ...
    def _process_data(
        self, ts_tmp: pd.DataFrame, set_zero: bool = True, reindex: bool = False, resample: str | None = None
    ) -> tuple[pd.DataFrame, float]: ...
    def _get_plot_type(self, index: int, plot_type: str, plot_types: list[str] | None = None) -> str: ...
    def _setup_axis(
        self,
        ax: Axes,
        title: str,
        unit: str | None = None,
        y_ticks: list[float] | None = None,
        invert_y: bool = False,
        xlabel: str = "",
    ) -> None: ...
    def _add_statistics(
        self, ax: Axes, data: pd.DataFrame, show_mean: bool = False, show_std: bool = False, multiplier: float = 2.0
    ) -> None: ...
    def _add_annotations(self, ax: Axes, annotations: list[dict[str, Any]] | None = None) -> None: ...
    def _add_secondary_data(
        self,
        ax: Axes,
        secondary_data: pd.DataFrame | None,
        color: str = "red",
        marker: str = "o",
        label: str = "地震",
        alpha: float = 0.7,
        size_multiplier: float = 5,
    ) -> Axes | None: ...
    def _save_figure(self, fig: Figure, filename: str, format: str = "png", dpi: int = 300) -> None: ...
    def plot(
        self,
        ts: pd.DataFrame,
        groupby: str = "item",
        prefix: str = "",
        fig_label: str = "",
        xlabel: str = "",
        **kwargs: Any,
    ) -> tuple[Figure | None, np.ndarray | None]: ...
    def plot_by_items(
        self,
        ts: pd.DataFrame,
        prefix: str = "",
        set_zero: bool = True,
        fig_label: str = "",
        number_of_subplots: int = 7,
        invert_y: bool = False,
        reindex: bool = False,
        fig_height: float = 1.5,
        plot_type: str = "line",
        plot_types: list[str] | None = None,
        show_mean: bool = False,
        show_std: bool = False,
        std_multiplier: float = 2.0,
        annotations: list[dict[str, Any]] | None = None,
        figure_format: str = "png",
        qcat_dir: str | None = None,
        qcat_filters: list[tuple[float, float]] | tuple[float, float] | None = None,
        start_time: Any = None,
        end_time: Any = None,
        xlabel: str = "",
        **kwargs: Any,
    ) -> tuple[Figure | None, np.ndarray | None]: ...
    def plot_by_stations(
        self,
        ts: pd.DataFrame,
        prefix: str = "",
        set_zero: bool = True,
        fig_label: str = "",
        daily_mean_values: bool = False,
        invert_y: bool = False,
        figure_format: str = "png",
        reindex: bool = False,
        fig_height: float = 1.5,
        rainfall: pd.Series | pd.DataFrame | None = None,
        plot_type: str = "line",
        plot_types: list[str] | None = None,
        show_mean: bool = False,
        show_std: bool = False,
        std_multiplier: float = 2.0,
        annotations: list[dict[str, Any]] | None = None,
        qcat_dir: str | None = None,
        qcat_filters: list[tuple[float, float]] | tuple[float, float] | None = None,
        start_time: Any = None,
        end_time: Any = None,
        xlabel: str = "",
        **kwargs: Any,
    ) -> tuple[Figure | None, np.ndarray | None]: ...

