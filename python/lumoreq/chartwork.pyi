import logging

logger: logging.Logger
