"""Boundary faults the fuzzer found, each pinned by the rule it broke."""

import numpy as np
import pytest

import _tidemark as tm
from runner_util import flags


def bar_arguments(n=4):
    close = np.array([100.0, 101.0, 99.0, 102.0])
    return dict(timestamps=np.arange(n, dtype=np.int64) * 60_000_000_000, open=close.copy(), high=close + 1.0,
                low=close - 1.0, close=close, volume=np.ones(n), entries=flags(n, [0]), exits=flags(n, [2]))


@pytest.mark.parametrize("call, full_name", [  # a vectorcall binder and a constructor's tuple binder
    (lambda **kw: tm.run_single_backtest(**bar_arguments(), **kw), "run_single_backtest()"),
    (lambda **kw: tm.BacktestConfig(**kw), "BacktestConfig.__new__()")])
@pytest.mark.parametrize("name", ["\ud800", "x\udcff"])
def test_a_keyword_name_without_utf8_form_is_an_unexpected_keyword(call, full_name, name):
    # A lone surrogate cannot be encoded, yet the TypeError names the keyword as given, as CPython does.
    with pytest.raises(TypeError) as exc:
        call(**{name: 1.0})
    assert type(exc.value) is TypeError
    assert str(exc.value) == f"{full_name} got an unexpected keyword argument '{name}'"


# Views beyond any memory (2**59 elements) where the lengths do not settle the call: they agree with each other,
# or only the run reads them. (Where the lengths settle it, the length error comes first: test_boundary.)
@pytest.mark.parametrize("arguments", [("timestamps",), ("open",), ("close", "entries", "exits")])
def test_memory_that_cannot_be_had_is_a_memory_error(arguments):
    config = tm.BacktestConfig(fees=0.0)
    kw = bar_arguments()
    for name in arguments:
        kw[name] = np.broadcast_to(np.zeros(1, kw[name].dtype), (2**59,))
    with pytest.raises(MemoryError) as exc:
        tm.run_single_backtest(**kw, config=config)
    assert type(exc.value) is MemoryError and isinstance(exc.value, Exception)
    # The failed call released its borrowed configuration; with ordinary arrays: entry at 100, exit at 99.
    config.fees = 0.0
    (trade,) = tm.run_single_backtest(**bar_arguments(), config=config).trades()
    assert (trade.entry_price, trade.exit_price, trade.exit_reason) == (100.0, 99.0, "Signal")
