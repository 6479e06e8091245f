"""The `instruments` and `instrument_configs` arguments shared by the basket and portfolio runners."""

import pytest

import _tidemark as tm
from runner_util import instrument_row

IC = tm.InstrumentConfig
RUNNERS = {"basket": tm.run_basket_backtest, "portfolio": tm.run_portfolio_backtest}
I, CF = "argument 'instruments': ", "argument 'instrument_configs': "
ROW = instrument_row([10.0] * 3, [0], [1])


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("kw, exc, message", [
    (dict(instruments=5), TypeError, I + "'int' object cannot be converted to 'Sequence'"),
    (dict(instruments=[list(ROW)]), TypeError, I + "'list' object cannot be converted to 'PyTuple'"),
    # a row of the wrong length is a ValueError without the argument's name
    (dict(instruments=[ROW[:10]]), ValueError, "expected tuple of length 11, but got tuple of length 10"),
    (dict(instruments=[ROW], instrument_configs=[]), TypeError, CF + "'list' object cannot be converted to 'PyDict'"),
    (dict(instruments=[ROW], instrument_configs={1: IC()}), TypeError,
     CF + "'int' object cannot be converted to 'PyString'"),
    (dict(instruments=[ROW], instrument_configs={"A": 5}), TypeError,
     CF + "'int' object cannot be converted to 'InstrumentConfig'"),
    (dict(instruments=[ROW, instrument_row([10.0] * 3, direction=-2)]), ValueError,
     "direction must be 1 (long) or -1 (short), got -2"),
])
def test_argument_extraction(runner, kw, exc, message):
    with pytest.raises(exc) as info:
        RUNNERS[runner](**kw)
    assert type(info.value) is exc and str(info.value).startswith(message)
