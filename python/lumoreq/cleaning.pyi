import logging

import numpy as np
import pandas as pd

logger: logging.Logger

def split_lines(df: pd.DataFrame, sample_by_seconds: float) -> pd.DataFrame:
    """将 OBSVALUE 中以单个空格分隔的多个采样值展开为每个采样一行，以各采样的时间 STARTDATE 为升序索引，OBSVALUE 转为 float32。"""
