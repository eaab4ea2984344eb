"""The configuration store: a NestedPointel that converts its values and loads INI, YAML and entry points."""

import configparser as configparser
import logging as logging
import os as os
import re as re
from collections.abc import Mapping as Mapping
from importlib.metadata import EntryPoint
from typing import Any, ClassVar, Self, TypeVar

import yaml as yaml

from vestri.ondrel.pointel import NestedPointel as NestedPointel
from vestri.utils.import_utils import get_entry_points as get_entry_points
from vestri.utils.strings import typecast_str as typecast_str

_Path = TypeVar("_Path", bound=str | os.PathLike[str])

logger: logging.Logger

class Configuration(NestedPointel):
    _ENV_VAR_PATTERN: ClassVar[re.Pattern[str]]
    @classmethod
    def _missing_env_vars(cls, value: str) -> list[str]: ...
    @classmethod
    def _expand_cfg_value(cls, value: str, *, section: str, key: str) -> str: ...
    @staticmethod
    def _expand_cfg_env_vars(config: configparser.ConfigParser) -> None: ...
    def copy(self) -> Self: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def load_cfgs(self, *files: str | os.PathLike[str]) -> list[str]: ...
    def load_yamls(self, *files: _Path) -> tuple[_Path, ...]: ...
    def load_entrypoint(self, group: str) -> list[EntryPoint]: ...
