"""地震目录：读取地震目录文本文件，并按震中距与震级筛选地震。"""

import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from geopy.distance import geodesic as geodesic

def read_QCAT(qcat_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes] | int) -> pd.DataFrame:
    """Parse earthquake text file and return as a pandas DataFrame."""

def filtered_qcats(
    df: pd.DataFrame,
    station: Any = (40.47, 115.94),
    filters: Sequence[Any] | tuple[float, float] | None = None,
    default_magnitude: float = 3.0,
    default_distance: float = 300,
) -> pd.DataFrame:
    """多条件地震筛选：按 (距离km, 最小震级) 条件标记地震，并加入 distance、flag、size、text 列。"""

def _geodesic_km(
    lat1: npt.ArrayLike, lon1: npt.ArrayLike, lat2: npt.ArrayLike, lon2: npt.ArrayLike
) -> npt.NDArray[np.float64]: ...
