"""Publish a web server over Reticulum."""

import argparse as argparse
import asyncio as asyncio
import os as os
import sys as sys
import types as types

import RNS as RNS  # type: ignore[import-untyped]

from .server import HttpServer as HttpServer

async def main(argv: list[str] | None = None) -> None:
    """Publish the web server at UPSTREAM as the Reticulum destination HTTP.<port>."""
