"""HTTP proxy from browsers to Reticulum destinations."""

import argparse as argparse
import asyncio as asyncio
import os as os
import sys as sys

import RNS as RNS  # type: ignore[import-untyped]

from .client import HttpClient as HttpClient

_CONNECT_TIMEOUT: float
_REQUEST_TIMEOUT: float
_READ_TIMEOUT: float
_IDLE_TIMEOUT: float
_ANSWER_LIMIT: int
_MAX_CONNECTIONS: int
_COMPACT_LINKS: int
_GATHER_PIECE_LIMIT: int

async def main() -> None: ...
