import logging
from datetime import datetime as datetime
from os import PathLike
from typing import Any, Callable

import matplotlib.dates as mdates
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from matplotlib.axes import Axes
from matplotlib.figure import Figure

from . import refinery as psp

logger: logging.Logger

font_title: dict[str, Any]
font_unit: dict[str, Any]
font_xlabel: dict[str, Any]
legend_font: dict[str, Any]

def create_figures_folder() -> None: ...
def plot_annual_comparison(
    df: pd.DataFrame,
    output_file: str | PathLike[str] = "Annual_Comparison.png",
    subtract_mean: bool = False,
    invert_y: bool = False,
    y_label: str = "Observation Value",
    dpi: int = 300,
    figsize: tuple[float, float] = (12, 8),
    grid: bool = True,
    y_axis_format: Callable[[float, int], str] | None = None,
    station_name: str = "",
    direction: str = "",
    rolling_window: int = 5,
) -> tuple[Figure, Axes]: ...
