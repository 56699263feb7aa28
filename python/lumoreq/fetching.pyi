import configparser
import logging
from types import ModuleType
from typing import Any

import sqlalchemy

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
