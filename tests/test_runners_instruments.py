"""The `instruments` and `instrument_configs` arguments shared by the basket and portfolio runners."""

import numpy as np
import pytest

import _tidemark as tm
from runner_util import instrument_row

IC = tm.InstrumentConfig
N = 3
RUNNERS = {"basket": tm.run_basket_backtest, "portfolio": tm.run_portfolio_backtest}


def row(**change):
    return instrument_row([10.0] * N, [0], [1], **change)


def with_item(i, value, base=None):
    r = list(row() if base is None else base)
    r[i] = value
    return tuple(r)


def prefixed(name, text):
    return f"argument '{name}': {text}"


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("kw, exc, message", [
    (dict(instruments="abc"), TypeError, prefixed("instruments", "Can't extract `str` to `Vec`")),
    (dict(instruments=5), TypeError, prefixed("instruments", "'int' object cannot be converted to 'Sequence'")),
    (dict(instruments=[list(row())]), TypeError,
     prefixed("instruments", "'list' object cannot be converted to 'PyTuple'")),
    # a row of the wrong length is the shared tuple rule's ValueError, without the argument's name
    (dict(instruments=[row()[:10]]), ValueError, "expected tuple of length 11, but got tuple of length 10"),
    (dict(instruments=[row() + (0,)]), ValueError, "expected tuple of length 11, but got tuple of length 12"),
    (dict(instruments=[with_item(4, np.ones(N, dtype=np.float32))]), TypeError, prefixed("instruments", "")),
    (dict(instruments=[with_item(0, np.ones(N))]), TypeError, prefixed("instruments", "")),
    (dict(instruments=[with_item(6, np.ones((1, N), dtype=bool))]), TypeError, prefixed("instruments", "")),
    (dict(instruments=[with_item(8, 1.0)]), TypeError, prefixed("instruments", "")),
    (dict(instruments=[with_item(8, 2**31)]), OverflowError, "out of range integral type conversion attempted"),
    (dict(instruments=[with_item(9, "x")]), TypeError, prefixed("instruments", "must be real number, not str")),
    (dict(instruments=[with_item(10, 5)]), TypeError,
     prefixed("instruments", "'int' object cannot be converted to 'PyString'")),
    (dict(instruments=[row()], config=tm.BacktestConfig), TypeError,
     prefixed("config", "'type' object cannot be converted to 'BacktestConfig'")),
    (dict(instruments=[row()], instrument_configs=[]), TypeError,
     prefixed("instrument_configs", "'list' object cannot be converted to 'PyDict'")),
    (dict(instruments=[row()], instrument_configs={1: IC()}), TypeError,
     prefixed("instrument_configs", "'int' object cannot be converted to 'PyString'")),
    (dict(instruments=[row()], instrument_configs={"A": 5}), TypeError,
     prefixed("instrument_configs", "'int' object cannot be converted to 'InstrumentConfig'")),
    (dict(instruments=[row(direction=0)]), ValueError, "direction must be 1 (long) or -1 (short), got 0"),
    (dict(instruments=[row(), row(direction=-2)]), ValueError, "direction must be 1 (long) or -1 (short), got -2"),
    # the order of the checks: every row is read before any is converted, then config, the mode text,
    # instrument_configs, and only then the directions
    (dict(instruments=[row(direction=2), with_item(1, [1.0, 2.0, 3.0])], config=1), TypeError,
     prefixed("instruments", "")),
    (dict(instruments=[row(direction=2)], config=1, instrument_configs=[]), TypeError, prefixed("config", "")),
    (dict(instruments=[row(direction=2)], instrument_configs=[]), TypeError, prefixed("instrument_configs", "")),
])
def test_argument_extraction(runner, kw, exc, message):
    with pytest.raises(exc) as info:
        RUNNERS[runner](**kw)
    assert type(info.value) is exc and str(info.value).startswith(message)


@pytest.mark.parametrize("runner, mode_name", [("basket", "sync_mode"), ("portfolio", "allocation")])
def test_mode_text_must_be_a_str_and_is_read_before_instrument_configs(runner, mode_name):
    with pytest.raises(TypeError, match=f"^argument '{mode_name}': 'NoneType' object cannot be converted"):
        RUNNERS[runner]([row()], **{mode_name: None, "instrument_configs": []})


@pytest.mark.parametrize("runner", sorted(RUNNERS))
def test_rows_accept_any_sequence_and_an_int_weight(runner):
    as_tuple = RUNNERS[runner]((row(weight=3),), None, instrument_configs={"A": IC()})
    as_list = RUNNERS[runner]([row(weight=3.0)], None)
    result = (lambda r: r if runner == "basket" else r.result)
    assert repr(result(as_tuple).trades()) == repr(result(as_list).trades())
    assert len(result(as_list).trades()) == 1
