"""Ovrix: build, map and run quantised models on Ovrix neuromorphic accelerators."""

from . import core  # noqa: F401
from .core import *  # noqa: F401,F403

__version__ = core.__version__
