"""The `instruments` and `instrument_configs` arguments shared by the basket and portfolio runners."""

import numpy as np
import pytest

import _tidemark as tm
from runner_util import instrument_row

IC = tm.InstrumentConfig
RUNNERS = {"basket": (tm.run_basket_backtest, "sync_mode"), "portfolio": (tm.run_portfolio_backtest, "allocation")}
I, C, CF = "argument 'instruments': ", "argument 'config': ", "argument 'instrument_configs': "
DIRECTION = "direction must be 1 (long) or -1 (short), got "


def row(i=None, value=None, direction=1):
    r = list(instrument_row([10.0] * 3, [0], [1], direction))
    if i is not None:
        r[i] = value
    return tuple(r)


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("kw, exc, message", [
    (dict(instruments="abc"), TypeError, I + "Can't extract `str` to `Vec`"),
    (dict(instruments=5), TypeError, I + "'int' object cannot be converted to 'Sequence'"),
    (dict(instruments=[list(row())]), TypeError, I + "'list' object cannot be converted to 'PyTuple'"),
    # a row of the wrong length is the shared tuple rule's ValueError, without the argument's name
    (dict(instruments=[row()[:10]]), ValueError, "expected tuple of length 11, but got tuple of length 10"),
    (dict(instruments=[row() + (0,)]), ValueError, "expected tuple of length 11, but got tuple of length 12"),
    (dict(instruments=[row(4, np.ones(3, dtype=np.float32))]), TypeError, I),
    (dict(instruments=[row(0, np.ones(3))]), TypeError, I),
    (dict(instruments=[row(6, np.ones((1, 3), dtype=bool))]), TypeError, I),
    (dict(instruments=[row(8, 1.0)]), TypeError, I),
    (dict(instruments=[row(8, 2**31)]), OverflowError, "out of range integral type conversion attempted"),
    (dict(instruments=[row(9, "x")]), TypeError, I + "must be real number, not str"),
    (dict(instruments=[row(10, 5)]), TypeError, I + "'int' object cannot be converted to 'PyString'"),
    (dict(instruments=[row()], config=tm.BacktestConfig), TypeError,
     C + "'type' object cannot be converted to 'BacktestConfig'"),
    (dict(instruments=[row()], instrument_configs=[]), TypeError, CF + "'list' object cannot be converted to 'PyDict'"),
    (dict(instruments=[row()], instrument_configs={1: IC()}), TypeError,
     CF + "'int' object cannot be converted to 'PyString'"),
    (dict(instruments=[row()], instrument_configs={"A": 5}), TypeError,
     CF + "'int' object cannot be converted to 'InstrumentConfig'"),
    (dict(instruments=[row(direction=0)]), ValueError, DIRECTION + "0"),
    (dict(instruments=[row(), row(direction=-2)]), ValueError, DIRECTION + "-2"),
    # the order: every row is read before any is converted, then config, the mode text,
    # instrument_configs, and only then the directions
    (dict(instruments=[row(direction=2), row(1, [1.0, 2.0, 3.0])], config=1), TypeError, I),
    (dict(instruments=[row(direction=2)], config=1, instrument_configs=[]), TypeError, C),
    (dict(instruments=[row(direction=2)], mode=None, instrument_configs=[]), TypeError,
     "argument 'MODE': 'NoneType' object cannot be converted"),
    (dict(instruments=[row(direction=2)], instrument_configs=[]), TypeError, CF),
])
def test_argument_extraction(runner, kw, exc, message):
    run, mode = RUNNERS[runner]
    with pytest.raises(exc) as info:
        run(**{mode if k == "mode" else k: v for k, v in kw.items()})
    assert type(info.value) is exc and str(info.value).startswith(message.replace("MODE", mode))


@pytest.mark.parametrize("runner", sorted(RUNNERS))
def test_rows_accept_any_sequence_and_an_int_weight(runner):
    run = RUNNERS[runner][0]
    a, b = run((row(9, 3),), None, instrument_configs={"A": IC()}), run([row(9, 3.0)], None)
    a, b = getattr(a, "result", a), getattr(b, "result", b)
    assert repr(a.trades()) == repr(b.trades()) and len(b.trades()) == 1
