"""zivane - HTTP/1.1 over Reticulum Network Stack."""

from importlib.metadata import version as version

from . import client as client, server as server, types as types
from .client import HttpClient as HttpClient
from .server import HttpServer as HttpServer
from .types import HttpRequest as HttpRequest, HttpResponse as HttpResponse

__version__: str
__all__ = ["HttpRequest", "HttpResponse", "HttpServer", "HttpClient"]
