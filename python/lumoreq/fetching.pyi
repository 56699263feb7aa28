import configparser
import datetime
import logging
from types import ModuleType
from typing import Any

import numpy as np
import pandas as pd
import sqlalchemy

# Siblings imported at load, read at call time through this module.
from . import cleaning as cleaning
from . import export as export
from .metadata_cache import MetadataCache as MetadataCache

logger: logging.Logger
oracledb: ModuleType | None
_ORACLE_THICK_MODE_READY: bool

class DatabaseConnector:
    @staticmethod
    def _init_oracle_thick_mode(config: configparser.ConfigParser, db: str) -> None: ...
    @staticmethod
    def connect_to_oracle(db: str) -> sqlalchemy.Connection | None: ...

def conn_to_Oracle(db: str) -> sqlalchemy.Connection | None: ...

class DatabaseType:
    RAW: str
    PREPROCESSED: str
    PRODUCT: str
    @staticmethod
    def get_id(db_type: str) -> str | None: ...

class SampleRateType:
    SECOND: str
    MINUTE: str
    HOUR: str
    DAY: str
    @staticmethod
    def get_config(rate_type: str) -> dict[str, Any] | None: ...
    @staticmethod
    def get_rate_by_id(rate_id: Any) -> int | None: ...

def _gunzip_texts(values: Any) -> list[str]: ...
def _expand_nullall(values: Any, null_text: str) -> list[Any]: ...
def _fetch_series(
    conn: Any,
    tables: list[str],
    start_date: Any,
    end_date: Any,
    station_id: str,
    item_id: str,
    point_id: str = "",
    data_type: Any = "分钟值",
    gzip_flag: Any = False,
    values_only: bool = False,
    arrays: bool = False,
) -> pd.DataFrame | tuple[np.ndarray, np.ndarray]: ...

class QueryBuilder:
    @staticmethod
    def build_data_query(
        table_names: pd.DataFrame,
        start_date: Any,
        end_date: Any,
        station_ids: pd.DataFrame | None = None,
        item_ids: pd.DataFrame | None = None,
        point_id: Any = "",
    ) -> str | None: ...
    @staticmethod
    def build_dialog_query(
        table_names: pd.DataFrame,
        start_date: Any,
        end_date: Any,
        log_type: Any,
        station_ids: pd.DataFrame | None = None,
        item_ids: pd.DataFrame | None = None,
    ) -> str | None: ...

class MetadataFetcher:
    @staticmethod
    def get_timeseries_info(
        conn: sqlalchemy.Connection | None = None, cache_dir: Any = None, refresh_cache: bool = False
    ) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]: ...
    @staticmethod
    def get_method_ids(conn: sqlalchemy.Connection | None, method_name: str = "全部", cache_dir: Any = None) -> pd.DataFrame: ...
    @staticmethod
    def get_station_ids(conn: sqlalchemy.Connection | None, station_name: str = "全部", cache_dir: Any = None) -> pd.DataFrame: ...
    @staticmethod
    def get_item_ids(
        conn: sqlalchemy.Connection | None, item_name: str | list[str] = "全部", cache_dir: Any = None
    ) -> pd.DataFrame | None: ...
    @staticmethod
    def get_table_names(
        conn: sqlalchemy.Connection, method_ids: pd.DataFrame, base_type_id: str, sample_rate_id: str
    ) -> pd.DataFrame | None: ...
    @staticmethod
    def _normalize_dataframe_columns(dataframes: Any) -> None: ...

class DataFetcher:
    @staticmethod
    def fetch_data(
        conn: sqlalchemy.Connection,
        start_date: Any,
        end_date: Any,
        method_name: str,
        station_name: str,
        data_type: str,
        base_type: str,
        item_name: str | list[str] = "全部",
        gzip_flag: bool = False,
        my_split_lines: bool = True,
        point_id: Any = "",
    ) -> pd.DataFrame | None: ...
    @staticmethod
    def fetch_dialog(
        conn: sqlalchemy.Connection,
        start_date: Any,
        end_date: Any,
        method_name: str = "全部",
        station_name: str = "全部",
        item_name: str | list[str] = "全部",
        log_type: Any = "313",
    ) -> pd.DataFrame | None: ...
    @staticmethod
    def to_ruzi(conn: sqlalchemy.Connection | None, df: pd.DataFrame | None, sampling_rate: Any) -> Any: ...
    @staticmethod
    def export_ruzi(
        conn: sqlalchemy.Connection | None, df: pd.DataFrame | None, file_path: Any, sampling_rate: Any
    ) -> None: ...

def timeseries_info(
    conn: sqlalchemy.Connection | None = None, cache_dir: Any = None, refresh_cache: bool = False
) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]: ...
def refresh_metadata_cache(conn: sqlalchemy.Connection, cache_dir: Any = None, tables: Any = None) -> Any: ...
def fetching_data(
    conn: sqlalchemy.Connection,
    startdate: Any,
    enddate: Any,
    methodname: str,
    stationname: str,
    data_type: str,
    base_type: str,
    itemname: str | list[str] = "全部",
    gzip_flag: bool = False,
    my_split_lines: bool = True,
    pointid: Any = "",
) -> pd.DataFrame | None: ...
def fetching_dialog(
    conn: sqlalchemy.Connection,
    startdate: datetime.datetime | Any | None = None,
    enddate: datetime.datetime | Any | None = None,
    methodname: str = "全部",
    stationname: str = "全部",
    itemname: str | list[str] = "全部",
    log_type: Any = "313",
) -> pd.DataFrame | None: ...
def load_Oracle_data_daily(
    conn: sqlalchemy.Connection,
    startdate: Any,
    enddate: Any,
    methodname: str = "全部",
    stationname: str = "全部",
    itemname: str | list[str] = "全部",
    base_type: str = "预处理库",
) -> pd.DataFrame | None: ...
def load_Oracle_data_resistivity_year(
    conn: sqlalchemy.Connection, year: int, stationname: str = "全部", itemname: str | list[str] = "全部",
    base_type: str = "预处理库",
) -> pd.DataFrame | None: ...
def load_Oracle_data_water_year(
    conn: sqlalchemy.Connection, year: int, stationname: str = "全部", itemname: str | list[str] = "全部",
    base_type: str = "预处理库",
) -> pd.DataFrame | None: ...
