from collections.abc import Callable as Callable
from typing import Any as Any, cast as cast, override as override

__all__ = ["override"]
