"""tidemark: exact and fast trading backtests and portfolio analytics.

The engine is the native module ``_tidemark``; this package re-exports its
names so that ``import tidemark`` is all a strategy needs.
"""

import _tidemark
from _tidemark import *  # noqa: F401,F403

__all__ = list(_tidemark.__all__)
