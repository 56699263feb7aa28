import os
from typing import Any

import pandas as pd
import pyarrow as pa

METADATA_KEY: bytes
FORMAT_NAME: str
FORMAT_VERSION: int

def jsonable(value: Any) -> Any: ...
def to_ruzi(df: pd.DataFrame, metadata: Any = None) -> pa.Table: ...
def read_ruzi(path: str | os.PathLike[str]) -> tuple[pd.DataFrame, Any]: ...
