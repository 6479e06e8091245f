"""Bounded fuzzing of every registered entry of _tidemark.

What is fuzzed comes from the registration table at run time: the names in
`_tidemark.__all__`; the `__text_signature__` of each function, constructor,
static method and method; and the properties of each class. An entry
registered later is fuzzed without a line changed here.

A call may return, or raise TypeError, ValueError, OverflowError,
RuntimeError (but not NotImplementedError: every entry is built), MemoryError, or the extension's PanicException (a broken internal invariant;
a BaseException, not an Exception). Anything else fails the entry, and so
does a call that runs longer than SLOW_CALL_S; a crash or a hang ends the run.

A probe first learns what each parameter takes: it calls the entry with typed
candidates (arrays of each kind the boundary reads, numbers, text, instances
of the module's classes, lists) and moves past each candidate refused with
"argument '<name>': ...". The fuzzer then builds calls mostly of the learnt
kinds, spoiled here and there: every NumPy dtype, strided, reversed,
read-only, unaligned, broadcast, zero-length, length-1 and mismatched arrays,
2-D where 1-D is wanted, NaN, infinities, signed zeros, huge integers, wrong
types, the module's own objects (fresh, reused and consumed ones), numbers
whose conversion calls back into the module, and surplus, missing, repeated
and unknown arguments.

Environment, for longer runs by hand:
  TIDEMARK_FUZZ_EXAMPLES  calls per entry (default 100)
  TIDEMARK_FUZZ_SEED      base seed (default 7); each entry derives its own
  TIDEMARK_FUZZ_TRACE=1   print each call before making it (with -s), to
                          find the call that brings the interpreter down
An entry's calls do not depend on the other entries, so one can be rerun
alone with -k and the same seed.
"""

import faulthandler
import inspect
import math
import os
import random
import sys
import time
import warnings
import zlib
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import _tidemark as tm

EXAMPLES = int(os.environ.get("TIDEMARK_FUZZ_EXAMPLES", "100"))
SEED = int(os.environ.get("TIDEMARK_FUZZ_SEED", "7"))
TRACE = os.environ.get("TIDEMARK_FUZZ_TRACE") == "1"

SLOW_CALL_S = 30.0  # per call, generous for the sanitizer build on a busy machine

ACCEPTED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)

# Parameters whose value is an amount of work or output rather than a value to
# check: an absurd one legitimately means hours of work or gigabytes of output
# (10**12 Monte Carlo paths, a one-nanosecond Renko brick, a ring buffer of
# 2**60 elements). They draw from these values and are always passed, never
# left to a default that may itself be costly (10,000 paths). Every other
# number gets absurd values.
WORK = {
    # Monte Carlo draws: paths x days x assets
    "n_simulations": [0, 1, 2, 17, 64],
    "horizon_days": [0, 1, 2, 30],
    # solver iterations
    "max_iter": [0, 1, 5, 50],
    # bar aggregation: a bar per step of time, ticks, volume or value; Renko
    # draws a bar per brick of price movement and falls back to the step
    "step": [-1, 0, 1, 2, 3, 5, 60, 2**32 - 1, 2**32],
    "brick_size": [0.0, -5.0, math.nan, math.inf, -math.inf, 0.25, 1.0, 3.0, 50.0],
    # rolling windows, lookbacks and horizons, in elements
    **{name: [-1, 0, 1, 2, 3, 5, 14, 64, 10**6]
       for name in ("period", "k_period", "d_period", "fast_period", "slow_period", "signal_period",
                    "lookback", "skip", "horizon")},
}
# For the same reason array values stay below 1e5 in size besides the
# non-finite ones: a finite but astronomical price is an astronomical number
# of Renko bricks. Scalars have no such limit.

FLOAT_SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, 100.0, math.nan, -math.nan, math.inf, -math.inf, 1e308, -1e308,
                  5e-324, -5e-324, 1e-300, 2.0**53, 2.0**63, 2.0**64, 1e19, -9.3e18]
INT_SPECIALS = [0, 1, -1, 2, 7, 60, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**53 + 1,
                2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 2**100, -2**100, 10**30]
ARRAY_SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e-300, 5e-324, 5e4]
WORDS = ["", " ", "NSE", "nse-delivery", "NFO-OPT", "BFO-PE", "MCX-FUT", "CDS", "BCD-CE", "NSEX", "-OPT",
         "same_bar_close", " next_bar_open ", "same_bar_open_lookahead", "Next_Bar_Open", "15:25", " 9 : 5 ",
         "+09:+30", "24:00", "12:60", ":30", "15:25:00", "call", "put", "long", "short", "cash", "margin",
         "netting", "hedging", "1m", "m", "1d", "tick", "volume", "renko", "\x00", "a\x00b", "\u00e9",
         "\u65e5\u672c", "\U0001F600", "\ud800", "x" * 5000, "\n", "1", "-1", "nan", "inf"]
BAD_KEYWORDS = ["bogus", "\ud800", "x\udcff", "self", "_", "\u00e9"]
SIZES = [0, 1, 1, 2, 3, 5, 5, 8, 13, 40]

DTYPES = [np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
          np.float16, np.float32, np.float64, np.longdouble, np.complex64, np.complex128, np.clongdouble,
          object, "U3", "S3", "V8", "datetime64[ns]", "timedelta64[ns]", ">f8", ">i8", "<f8", "=i8",
          [("a", "<f8")], np.dtypes.StringDType()]

EMPTY = inspect.Parameter.empty


# ---------------------------------------------------------------------------
# Outcomes
# ---------------------------------------------------------------------------

def is_panic(exc):
    t = type(exc)
    return t.__name__ == "PanicException" and t.__module__ == "_tidemark" and not isinstance(exc, Exception)


# Panics that are not broken invariants: memory that cannot be had must be an
# ordinary MemoryError, and a size beyond what any container can hold is a
# size taken from the caller unchecked (or a size computed wrongly).
ALLOCATION_TEXTS = ("std::bad_alloc", "std::bad_array_new_length", "cannot create std::vector larger than",
                    "vector::reserve", "vector::_M_realloc_insert", "vector::_M_default_append",
                    "vector::_M_fill_insert", "basic_string::_M_create")


def acceptable(exc):
    if is_panic(exc):
        return not str(exc).startswith(ALLOCATION_TEXTS)
    return isinstance(exc, ACCEPTED) and not isinstance(exc, NotImplementedError)


def failing_argument(exc):
    """The parameter named by a conversion TypeError, or None."""
    if type(exc) is not TypeError:
        return None
    text = str(exc)
    if not text.startswith("argument '"):
        return None
    end = text.find("': ", 10)
    return text[10:end] if end > 0 else None


def describe(value, depth=0):
    if isinstance(value, np.ndarray):
        flags = "" if value.flags.writeable else " read-only"
        flags += "" if value.flags.aligned else " unaligned"
        try:
            head = repr(value.flat[:4].tolist())  # never ravel: a broadcast may be huge
        except Exception:  # noqa: BLE001 - describing only
            head = "?"
        return (f"{type(value).__name__}(dtype={value.dtype}, shape={value.shape}, strides={value.strides}"
                f"{flags}, head={head[:80]})")
    if isinstance(value, (list, tuple)) and depth < 1:
        inner = ", ".join(describe(v, depth + 1) for v in value[:4])
        return f"{type(value).__name__}[{len(value)}]({inner})"
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def describe_call(label, args, kwargs):
    parts = [describe(a) for a in args] + [f"{k!r}={describe(v)}" for k, v in kwargs.items()]
    return f"{label}({', '.join(parts)})"


# ---------------------------------------------------------------------------
# The registration table
# ---------------------------------------------------------------------------

class Param:
    def __init__(self, name, default):
        self.name, self.default = name, default

    @property
    def optional(self):
        return self.default is not EMPTY


class Entry:
    """One thing to fuzz: a function, constructor, static method, method or property."""

    def __init__(self, ident, kind, target, cls=None, name=None, params=None):
        self.ident, self.kind, self.target, self.cls, self.name = ident, kind, target, cls, name
        self.params = params  # None: no signature (a class Python cannot construct)
        self.kinds = {}       # parameter name -> learnt kind, or None
        self.typed = False    # the probe found a call that converted every argument
        self.returned = False  # ... and that call returned normally
        self.settable = False  # properties


def signature_params(obj):
    text = getattr(obj, "__text_signature__", None)
    if text is None:
        return None
    params = list(inspect.signature(obj).parameters.values())
    if text.startswith("($self"):
        params = params[1:]
    return [Param(p.name, p.default) for p in params]


def module_classes():
    return {name: getattr(tm, name) for name in tm.__all__ if isinstance(getattr(tm, name), type)}


def discover():
    entries = []
    for name in tm.__all__:
        value = getattr(tm, name)
        if isinstance(value, type):
            cls = value
            entries.append(Entry(f"{name}()", "constructor", cls, cls=cls, params=signature_params(cls)))
            for attr, desc in vars(cls).items():
                if attr.startswith("__"):
                    continue
                label = f"{name}.{attr}"
                if isinstance(desc, (staticmethod, classmethod)):
                    fn = getattr(cls, attr)
                    entries.append(Entry(label, "static", fn, cls=cls, name=attr, params=signature_params(fn)))
                elif inspect.ismethoddescriptor(desc):
                    entries.append(Entry(label, "method", desc, cls=cls, name=attr, params=signature_params(desc)))
                elif inspect.isgetsetdescriptor(desc) or inspect.ismemberdescriptor(desc):
                    entries.append(Entry(label, "property", desc, cls=cls, name=attr))
        elif callable(value):
            entries.append(Entry(name, "function", value, params=signature_params(value)))
    return entries


CLASSES = module_classes()
ENTRIES = discover()


def system_class(value):
    cls = type(value)
    return cls if CLASSES.get(cls.__name__) is cls else None


# ---------------------------------------------------------------------------
# Probing: what each parameter takes, and objects to call methods on
# ---------------------------------------------------------------------------

N_PROBE = 5


def probe_candidates(i, pool):
    """Typed values for parameter number i, in the order they are tried."""
    f64 = np.linspace(100.0, 104.0, N_PROBE) + i
    cands = [
        ("f64", f64),
        ("i64", 1_700_000_000_000_000_000 + np.arange(N_PROBE, dtype=np.int64) * 60_000_000_000),
        # one flag, at a position that differs per parameter: entries and exits
        # given this way open and close a trade
        ("bool[]", np.roll(np.arange(N_PROBE) == 0, i)),
        ("mat", 0.01 * np.eye(N_PROBE, 3) + 0.001 * np.arange(N_PROBE * 3).reshape(N_PROBE, 3) / (i + 1)),
        ("float", 2.5), ("int", 1), ("bool", True), ("str", "NSE"),
    ]
    cands += [(f"obj:{c}", objs[0]) for c, objs in pool.items()]
    cands += [("seq:f64", [f64, f64]), ("seq:float", [0.5, 0.25]), ("seq:int", [1, 2]), ("seq:str", ["A", "B"])]
    cands += [(f"seq:obj:{c}", [objs[0], objs[0]]) for c, objs in pool.items()]
    return cands


class World:
    """Learnt parameter kinds, and recipes that rebuild the module's objects."""

    def __init__(self):
        self.entries = {e.ident: e for e in ENTRIES}
        self.recipes = {}   # class name -> zero-argument callables making an instance
        self.makers = {}    # class name -> entries that return an instance directly
        self.words = list(WORDS)
        self.failures = []  # unacceptable outcomes met while probing
        self.probe_all()

    # -- calls made while learning ------------------------------------------
    def attempt(self, label, fn, *args, **kwargs):
        try:
            return True, fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - every outcome is judged
            if not acceptable(exc):
                self.failures.append(f"{describe_call(label, args, kwargs)} raised {type(exc).__name__}: {str(exc)!r}")
            return False, exc

    def pool(self):
        """Fresh instances of every class that could be made, rebuilt from their recipes."""
        pool = {}
        for cname, makes in self.recipes.items():
            for make in makes:
                try:
                    obj = make()
                except BaseException:  # noqa: BLE001 - a recipe that no longer works is skipped
                    continue
                pool.setdefault(cname, []).append(obj)
        return pool

    def harvest(self, value, make, depth=0):
        cls = system_class(value)
        if cls is not None:
            makes = self.recipes.setdefault(cls.__name__, [])
            if len(makes) < 3:
                makes.append(make)
            if depth >= 2:
                return
            for e in ENTRIES:
                if e.cls is not cls or e.kind not in ("method", "property"):
                    continue
                if e.kind == "method" and e.params == []:
                    ok, out = self.attempt(e.ident, getattr(value, e.name))
                    if ok:
                        self.harvest(out, lambda make=make, n=e.name: getattr(make(), n)(), depth + 1)
                elif e.kind == "property":
                    ok, out = self.attempt(e.ident, getattr, value, e.name)
                    if ok:
                        if isinstance(out, str) and out not in self.words:
                            self.words.append(out)
                        self.harvest(out, lambda make=make, n=e.name: getattr(make(), n), depth + 1)
        elif isinstance(value, (list, tuple)) and depth < 3:
            for i, item in enumerate(value[:3]):
                self.harvest(item, lambda make=make, i=i: make()[i], depth + 1)
        elif isinstance(value, dict) and depth < 3:
            for k in list(value)[:8]:
                self.harvest(value[k], lambda make=make, k=k: make()[k], depth + 1)

    # -- learning -------------------------------------------------------------
    def receiver(self, entry):
        makes = self.recipes.get(entry.cls.__name__)
        for make in makes or []:
            try:
                return make()
            except BaseException:  # noqa: BLE001
                continue
        return None

    def bound(self, entry):
        """The callable of an entry, with a fresh receiver for a method."""
        if entry.kind != "method":
            return entry.target
        obj = self.receiver(entry)
        return None if obj is None else getattr(obj, entry.name)

    def probe(self, entry, pool):
        fn = self.bound(entry)
        if fn is None or entry.params is None:
            return
        params = entry.params
        cands = {p.name: probe_candidates(i, pool) for i, p in enumerate(params)}
        choice = {p.name: 0 for p in params}
        active = [p for p in params]
        kinds = {}
        typed = False
        for _ in range(50 + 40 * len(params)):
            kwargs = {p.name: cands[p.name][choice[p.name]][1] for p in active}
            ok, outcome = self.attempt(entry.ident, fn, **kwargs)
            name = None if ok else failing_argument(outcome)
            param = next((p for p in active if p.name == name), None)
            if param is None:
                # Converted, or refused for another reason than a type.
                typed = True
                break
            choice[name] += 1
            if choice[name] < len(cands[name]):
                continue
            kinds[name] = None
            if not param.optional:
                # No later parameter can be reached; the earlier ones converted.
                for p in params[:params.index(param)]:
                    if p in active:
                        kinds[p.name] = cands[p.name][choice[p.name]][0]
                break
            active.remove(param)
        if not typed:
            entry.kinds = {p.name: kinds.get(p.name) for p in params}
            return
        entry.typed, entry.returned = True, ok
        for p in active:
            kinds[p.name] = cands[p.name][choice[p.name]][0]
        entry.kinds = kinds
        # Objects for the pool: from the call with every argument, and from
        # the call with the required ones only (the defaults are the ordinary
        # case, and often succeed where the probe values do not).
        full = {p.name: cands[p.name][choice[p.name]][1] for p in active}
        required = {p.name: full[p.name] for p in active if not p.optional or p.name in WORK}
        for kwargs in (full, required):
            ok, out = self.attempt(entry.ident, fn, **kwargs)
            if ok:
                make = (lambda e=entry, kw=kwargs: self.bound(e)(**kw))
                self.harvest(out, make)
                cls = system_class(out)
                if cls is not None and entry.kind != "method" and entry not in self.makers.get(cls.__name__, []):
                    self.makers.setdefault(cls.__name__, []).append(entry)

    def probe_property(self, entry, pool):
        obj = self.receiver(entry)
        if obj is None:
            return
        self.attempt(entry.ident, getattr, obj, entry.name)
        for kind, value in probe_candidates(0, pool):
            try:
                setattr(obj, entry.name, value)
            except AttributeError:
                return  # no setter
            except TypeError:
                continue
            except BaseException as exc:  # noqa: BLE001
                if not acceptable(exc):
                    self.failures.append(f"setting {entry.ident} to {describe(value)} raised {exc!r}")
            entry.settable, entry.kinds = True, {"value": kind}
            return
        entry.settable, entry.kinds = True, {"value": None}

    def probe_all(self):
        callables = [e for e in ENTRIES if e.kind in ("constructor", "static", "function")]
        # A second round gives parameters of the module's classes the
        # instances the first round made.
        for _ in range(2):
            pool = self.pool()
            for e in callables:
                self.probe(e, pool)
        pool = self.pool()
        for e in ENTRIES:
            if e.kind == "method":
                self.probe(e, pool)
        for e in ENTRIES:
            if e.kind == "property":
                self.probe_property(e, pool)


# ---------------------------------------------------------------------------
# Generating calls
# ---------------------------------------------------------------------------

class MyArray(np.ndarray):
    """An ndarray subclass, which the boundary must read like any array."""


class Hook:
    """A number whose conversion calls back into the module first."""

    def __init__(self, fuzz, value):
        self.fuzz, self.value = fuzz, value

    def __float__(self):
        self.fuzz.nested()
        return float(self.value)

    def __index__(self):
        self.fuzz.nested()
        return int(self.value)


class Fuzzer:
    def __init__(self, world, ident):
        seed = zlib.crc32(f"{SEED}:{ident}".encode())
        self.world = world
        self.rng = random.Random(seed)
        self.np = np.random.default_rng(seed)
        self.pool = world.pool()
        self.failures = []
        self.outcomes = {}
        self.in_nested = False
        # A clean example keeps every value of its learnt kind, plain and of
        # one length, so that entries with many arrays get past their checks
        # now and then and their engines are fuzzed too.
        self.clean = False

    # -- recording ------------------------------------------------------------
    def fail(self, what):
        if len(self.failures) < 10:
            self.failures.append(what)

    def call(self, label, fn, args=(), kwargs=None, allow=(), binding_error=False):
        """Makes one call and judges its outcome. `binding_error`: the arguments
        cannot be bound to the parameters, which must raise exactly TypeError."""
        kwargs = kwargs or {}
        if TRACE:
            print("fuzz:", describe_call(label, args, kwargs), file=sys.stderr, flush=True)
        start = time.perf_counter()
        try:
            result = fn(*args, **kwargs)
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # noqa: BLE001 - every outcome is judged
            if binding_error and type(exc) is not TypeError:
                self.fail(f"{describe_call(label, args, kwargs)} cannot be bound but raised "
                          f"{type(exc).__name__}: {str(exc)!r:.300}")
            elif not (acceptable(exc) or isinstance(exc, allow)):
                self.fail(f"{describe_call(label, args, kwargs)} raised {type(exc).__name__}: {str(exc)!r:.300}")
            outcome, result = type(exc).__name__, None
        else:
            outcome = "returned"
            if binding_error:
                self.fail(f"{describe_call(label, args, kwargs)} cannot be bound but returned")
        elapsed = time.perf_counter() - start
        if elapsed > SLOW_CALL_S:
            self.fail(f"{describe_call(label, args, kwargs)} took {elapsed:.1f} s")
        self.outcomes[outcome] = self.outcomes.get(outcome, 0) + 1
        if outcome == "returned":
            self.touch(result)
        return outcome, result

    def touch(self, value, depth=0):
        """Reads a returned object the way a user would, keeping it for later calls."""
        cls = system_class(value)
        if cls is not None:
            self.call(f"repr({cls.__name__})", repr, (value,))
            objs = self.pool.setdefault(cls.__name__, [])
            if len(objs) < 6:
                objs.append(value)
            elif self.rng.random() < 0.3:
                objs[self.rng.randrange(len(objs))] = value
        elif isinstance(value, (list, tuple)) and depth < 2:
            for item in value[:4]:
                self.touch(item, depth + 1)

    def nested(self):
        """Runs one random read or write on one of the module's objects (from a Hook)."""
        if self.in_nested or not self.pool:
            return
        self.in_nested = True
        try:
            cname = self.rng.choice(sorted(self.pool))
            obj = self.rng.choice(self.pool[cname])
            props = [e for e in ENTRIES if e.cls is type(obj) and e.kind == "property"]
            if not props:
                return
            e = self.rng.choice(props)
            if e.settable and self.rng.random() < 0.5:
                value = self.value(e.kinds.get("value"), 3, None)
                self.call(f"(nested) {e.ident} =", setattr, (obj, e.name, value))
            else:
                self.call(f"(nested) {e.ident}", getattr, (obj, e.name))
        finally:
            self.in_nested = False

    # -- values -------------------------------------------------------------
    def size(self):
        return self.rng.choice(SIZES)

    def f64_values(self, n):
        walk = 100.0 * np.exp(np.cumsum(self.np.normal(0.0, 0.03, n)))
        r = self.rng.random()
        if r < 0.1:
            walk = -walk
        elif r < 0.15:
            walk[:] = walk[0] if n else 0.0
        if n and self.rng.random() < 0.35:
            for _ in range(self.rng.randint(1, 3)):
                walk[self.rng.randrange(n)] = self.rng.choice(ARRAY_SPECIALS)
        return walk

    def i64_values(self, n):
        r = self.rng.random()
        step = self.rng.choice([1, 1_000_000_000, 60_000_000_000, 86_400_000_000_000])
        base = self.rng.choice([1_700_000_000_000_000_000, 0, -(2**62), 2**62])
        if r < 0.6:
            out = base + np.arange(n, dtype=np.int64) * step
        elif r < 0.75:
            out = np.sort(self.np.integers(-(2**63), 2**63 - 1, n, dtype=np.int64, endpoint=True))
        elif r < 0.85:
            out = (base + np.arange(n, dtype=np.int64) * step)[::-1].copy()
        else:
            out = np.full(n, base, dtype=np.int64)
        if n and self.rng.random() < 0.25:
            out[self.rng.randrange(n)] = self.rng.choice([0, -1, 2**63 - 1, -(2**63), 1])
        return out

    def bool_values(self, n):
        if self.rng.random() < 0.1:
            # bool bytes other than 0 and 1
            return self.np.integers(0, 256, n, dtype=np.uint8).view(np.bool_)
        return self.np.random(n) < self.rng.choice([0.0, 0.1, 0.3, 0.5, 1.0])

    def wrong_dtype(self, a):
        dtype = self.rng.choice(DTYPES)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                if dtype == "V8" or isinstance(dtype, list):
                    return np.zeros(a.shape, dtype=dtype)
                if dtype is object:
                    out = a.astype(object)
                    if out.size:
                        out.flat[0] = self.rng.choice([None, "x", self.obj_any()])
                    return out
                return a.astype(dtype)
            except Exception:  # noqa: BLE001 - a cast NumPy refuses for these values
                return np.zeros(a.shape, dtype=np.float32)

    def dress(self, a):
        """A vector with the values of `a` in some layout a caller might pass."""
        if self.clean or self.rng.random() < 0.5:
            return a
        try:
            return self.redress(a)
        except (TypeError, ValueError):
            return a  # a layout this dtype cannot take

    def redress(self, a):
        n = a.shape[0]
        form = self.rng.choice(["strided", "reversed", "read-only", "unaligned", "broadcast", "masked",
                                "subclass", "row", "column", "0-d", "3-d", "dtype", "dtype", "list",
                                "fortran-pair"])
        if form == "strided":
            b = np.empty(2 * n, dtype=a.dtype)
            b[::2] = a
            return b[::2]
        if form == "reversed":
            return a[::-1].copy()[::-1]
        if form == "read-only":
            a.setflags(write=False)
            return a
        if form == "unaligned" and n and a.dtype.itemsize > 1 and a.dtype.kind in "biufcmM":
            buf = np.zeros(a.nbytes + 1, dtype=np.uint8)[1:]
            out = buf.view(a.dtype)
            out[:] = a
            return out
        if form == "broadcast" and n:
            return np.broadcast_to(a[:1], (n,))
        if form == "masked":
            return np.ma.masked_array(a, mask=self.np.random(n) < 0.5)
        if form == "subclass":
            return a.view(MyArray)
        if form == "row":
            return a.reshape(1, n)
        if form == "column":
            return a.reshape(n, 1)
        if form == "0-d":
            return np.array(a[0] if n else 0, dtype=a.dtype)
        if form == "3-d":
            return a.reshape(1, 1, n)
        if form == "dtype":
            return self.wrong_dtype(a)
        if form == "list":
            return a.tolist()
        if form == "fortran-pair":
            return np.asfortranarray(np.stack([a, a]))[0]
        return a

    def vector(self, kind, n):
        if n and not self.clean and self.rng.random() < 0.08:
            n = self.size()  # a length that does not match the others
        values = {"f64": self.f64_values, "i64": self.i64_values, "bool[]": self.bool_values}[kind](n)
        if n and not self.clean and self.rng.random() < 0.02:
            # More bytes than an address space holds: no machine can make the
            # copy, so the call must end in MemoryError.
            return np.broadcast_to(values[:1], (2**62 // values.dtype.itemsize,))
        return self.dress(values)

    def matrix(self, n):
        k = self.rng.choice([0, 1, 2, 3, 3, 5])
        if self.rng.random() < 0.2:
            n = k  # square, as a correlation matrix is
        m = self.np.normal(0.0, 0.02, (n, k))
        if m.size and self.rng.random() < 0.3:
            m.flat[self.rng.randrange(m.size)] = self.rng.choice(ARRAY_SPECIALS)
        r = self.rng.random()
        if r < 0.5:
            return m
        form = self.rng.choice(["fortran", "transposed", "reversed", "strided", "read-only", "broadcast",
                                "1-d", "3-d", "dtype", "list", "unaligned"])
        if form == "fortran":
            return np.asfortranarray(m)
        if form == "transposed":
            return np.ascontiguousarray(m.T).T
        if form == "reversed":
            return m[::-1].copy()[::-1]
        if form == "strided":
            b = np.zeros((n, 2 * k))
            b[:, ::2] = m
            return b[:, ::2]
        if form == "read-only":
            m.setflags(write=False)
            return m
        if form == "broadcast" and n and k:
            return np.broadcast_to(m[:1], (n, k))
        if form == "1-d":
            return m.ravel()
        if form == "3-d":
            return m.reshape(1, n, k)
        if form == "dtype":
            return self.wrong_dtype(m)
        if form == "list":
            return m.tolist()
        if form == "unaligned" and m.size:
            buf = np.zeros(m.nbytes + 1, dtype=np.uint8)[1:]
            out = buf.view(np.float64).reshape(n, k)
            out[...] = m
            return out
        return m

    def number(self, kind, bounded):
        if bounded is not None:
            v = self.rng.choice(bounded)
            if kind == "float" or isinstance(v, float):
                return float(v)
            return v
        if kind == "float":
            r = self.rng.random()
            if r < 0.5:
                return self.rng.choice(FLOAT_SPECIALS)
            if r < 0.8:
                return self.rng.uniform(-2.0, 2.0) * 10 ** self.rng.randint(-3, 6)
            return self.rng.choice([np.float64(-0.0), np.float32(1.5), np.int64(3), True, 2, 2**70,
                                    Fraction(1, 3), Decimal("0.1"), np.float16(65504)])
        r = self.rng.random()
        if r < 0.55:
            return self.rng.choice(INT_SPECIALS)
        if r < 0.85:
            return self.rng.randint(-3, 40)
        return self.rng.choice([np.int64(5), np.uint64(2**64 - 1), np.int8(-1), True, False, np.int32(-7)])

    def obj_of(self, cname, depth):
        r = self.rng.random()
        objs = self.pool.get(cname)
        if objs and r < 0.65:
            return self.rng.choice(objs)
        if r < 0.9 and depth == 0:
            made = self.make_instance(cname)
            if made is not None:
                return made
        return self.obj_any() if self.rng.random() < 0.5 or not objs else self.rng.choice(objs)

    def obj_any(self):
        if not self.pool:
            return None
        return self.rng.choice(self.pool[self.rng.choice(sorted(self.pool))])

    def make_instance(self, cname):
        """A fresh object of the class, made by one of its makers with fuzzed arguments,
        then changed by a few of its methods and setters."""
        makers = self.world.makers.get(cname)
        if not makers:
            return None
        for _ in range(3):
            entry = self.rng.choice(makers)
            args, kwargs = self.arguments(entry, depth=1, spoil=False)
            outcome, obj = self.call(entry.ident, entry.target, args, kwargs)
            if outcome == "returned" and system_class(obj) is not None:
                break
        else:
            return None
        cls = type(obj)
        changes = [e for e in ENTRIES if e.cls is cls and (e.kind == "method" and e.params or
                                                           e.kind == "property" and e.settable)]
        for _ in range(self.rng.randint(0, 3)):
            if not changes:
                break
            e = self.rng.choice(changes)
            if e.kind == "method":
                args, kwargs = self.arguments(e, depth=1, spoil=False)
                self.call(e.ident, getattr(obj, e.name), args, kwargs)
            else:
                value = self.value(e.kinds.get("value"), 3, WORK.get(e.name), depth=1)
                self.call(f"{e.ident} =", setattr, (obj, e.name, value))
        return obj

    def wild(self, n, bounded=None):
        """A value of any kind at all."""
        choices = [
            lambda: None, lambda: True, lambda: "text", lambda: b"bytes", lambda: bytearray(b"\x00\x01"),
            lambda: [], lambda: [1.0, math.nan], lambda: (1.0,), lambda: {}, lambda: {"a": 1.0}, object,
            lambda: self.obj_any(), lambda: self.rng.choice(list(CLASSES.values())), lambda: len,
            lambda: np.float64(1.5), lambda: np.array(1.0), lambda: complex(1, 2), lambda: range(3),
            lambda: {1, 2}, lambda: memoryview(b"ab"), lambda: np.array([None, "x"], dtype=object),
            lambda: self.number(self.rng.choice(["float", "int"]), bounded),
            lambda: self.rng.choice(self.world.words),
            lambda: self.dress(self.wrong_dtype(self.f64_values(n))),
            lambda: self.vector(self.rng.choice(["f64", "i64", "bool[]"]), n),
            lambda: self.matrix(n),
            lambda: Hook(self, self.number(self.rng.choice(["float", "int"]), bounded)),
        ]
        return self.rng.choice(choices)()

    def value(self, kind, n, bounded, depth=0):
        """A value of the learnt kind, spoilt now and then."""
        if kind is None or (not self.clean and self.rng.random() < 0.06):
            return self.wild(n, bounded)
        if kind in ("f64", "i64", "bool[]"):
            return self.vector(kind, n)
        if kind == "mat":
            return self.matrix(n)
        if kind in ("float", "int"):
            if self.rng.random() < 0.05:
                return Hook(self, self.number(kind, bounded))
            return self.number(kind, bounded)
        if kind == "bool":
            if self.rng.random() < 0.1:
                return self.rng.choice([np.True_, 1, 0, None, "True"])
            return self.rng.random() < 0.5
        if kind == "str":
            return self.rng.choice(self.world.words)
        if kind.startswith("obj:"):
            return self.obj_of(kind[4:], depth)
        if kind.startswith("seq:"):
            inner = kind[4:]
            r = self.rng.random()
            if r < 0.1:
                return self.rng.choice(self.world.words)
            items = [self.value(inner, n, bounded, depth + 1) for _ in range(self.rng.choice([0, 1, 2, 2, 3, 4]))]
            return tuple(items) if r < 0.2 else items
        return self.wild(n, bounded)

    def arguments(self, entry, depth=0, spoil=True):
        args, kwargs, _ = self.arguments_and_binding(entry, depth, spoil)
        return args, kwargs

    def arguments_and_binding(self, entry, depth=0, spoil=True):
        """Arguments for a call, and whether they cannot be bound."""
        params = entry.params
        n = self.size()
        self.clean = self.rng.random() < 0.25
        if params is None:
            return [self.wild(n) for _ in range(self.rng.randint(0, 2))], {}, True
        args, kwargs = [], {}
        positional = True
        for p in params:
            bounded = WORK.get(p.name)
            if p.optional and bounded is None and self.rng.random() < 0.35:
                positional = False
                continue
            v = self.value(entry.kinds.get(p.name), n, bounded, depth)
            if positional and self.rng.random() < 0.7:
                args.append(v)
            else:
                positional = False
                kwargs[p.name] = v
        if spoil and not self.clean:
            r = self.rng.random()
            if r < 0.03:
                args.append(self.wild(n))
            elif r < 0.06:
                kwargs[self.rng.choice(BAD_KEYWORDS)] = self.wild(n)
            elif r < 0.08 and args:
                args.pop()
            elif r < 0.10 and args and params:
                kwargs[params[0].name] = args[0]
        names = [p.name for p in params]
        unbound = (len(args) > len(params)
                   or any(k not in names or names.index(k) < len(args) for k in kwargs)
                   or any(not p.optional and i >= len(args) and p.name not in kwargs for i, p in enumerate(params)))
        return args, kwargs, unbound

    # -- one entry --------------------------------------------------------------
    def run(self, entry, examples):
        for _ in range(examples):
            if entry.kind in ("function", "constructor", "static"):
                args, kwargs, unbound = self.arguments_and_binding(entry)
                self.call(entry.ident, entry.target, args, kwargs, binding_error=unbound)
            elif entry.kind == "method":
                self.run_method(entry)
            else:
                self.run_property(entry)

    def receiver(self, entry):
        objs = self.pool.get(entry.cls.__name__)
        if objs and self.rng.random() < 0.95:
            return self.rng.choice(objs)
        return self.wild(3)  # the descriptor must refuse what is not its class

    def run_method(self, entry):
        obj = self.receiver(entry)
        args, kwargs, unbound = self.arguments_and_binding(entry)
        if isinstance(obj, entry.cls):
            self.call(entry.ident, getattr(obj, entry.name), args, kwargs, binding_error=unbound)
        else:
            self.call(entry.ident, entry.target, [obj, *args], kwargs, binding_error=True)

    def run_property(self, entry):
        obj = self.receiver(entry)
        desc = entry.target
        self.call(f"{entry.ident} (get)", desc.__get__, (obj, type(obj)))
        r = self.rng.random()
        if r < 0.05:
            # Deleting a property: AttributeError, or TypeError for a foreign object.
            self.call(f"del {entry.ident}", desc.__delete__, (obj,), allow=(AttributeError,))
        elif entry.settable:
            value = self.value(entry.kinds.get("value"), self.size(), WORK.get(entry.name))
            self.call(f"{entry.ident} =", desc.__set__, (obj, value))
        elif r < 0.2:
            # No setter: CPython's own AttributeError.
            self.call(f"{entry.ident} =", desc.__set__, (obj, 1.0), allow=(AttributeError,))


# ---------------------------------------------------------------------------
# Tests
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def world():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return World()


def test_every_registered_name_is_fuzzed():
    idents = {e.ident for e in ENTRIES}
    for name in tm.__all__:
        value = getattr(tm, name)
        if isinstance(value, type):
            assert f"{name}()" in idents
            for attr, desc in vars(value).items():
                if not attr.startswith("__") and (callable(desc) or hasattr(desc, "__get__")):
                    assert f"{name}.{attr}" in idents
        elif callable(value):
            assert name in idents
        else:
            assert isinstance(value, (int, float)), name  # the constants
    assert len([e for e in ENTRIES if e.kind == "function"]) == 45
    assert len([e for e in ENTRIES if e.kind == "constructor"]) == 24


def test_probe_learns_the_documented_parameter_kinds(world):
    entry = world.entries["run_single_backtest"]
    assert entry.typed and entry.returned
    assert entry.kinds == {
        "timestamps": "i64", "open": "f64", "high": "f64", "low": "f64", "close": "f64", "volume": "f64",
        "entries": "bool[]", "exits": "bool[]", "direction": "int", "weight": "float", "symbol": "str",
        "config": "obj:BacktestConfig", "position_sizes": "f64", "instrument_config": "obj:InstrumentConfig",
    }
    assert world.entries["BacktestConfig.set_atr_stop"].kinds == {"multiplier": "float", "period": "int"}
    assert world.entries["BacktestConfig.fees"].kinds == {"value": "float"}
    assert world.entries["BacktestConfig.fee_segment"].kinds == {"value": "str"}
    assert world.entries["BacktestConfig.upon_bar_close"].kinds == {"value": "bool"}
    assert not world.entries["BacktestConfig.squareoff_time_minutes"].settable
    # Objects reached only through results are there to call methods on.
    assert {"BacktestResult", "BacktestMetrics", "Trade", "InstrumentSpec"} <= set(world.pool())


def test_probing_raises_only_ordinary_exceptions(world):
    assert not world.failures, "\n".join(world.failures)


@pytest.mark.parametrize("exc, ok", [
    (TypeError("x"), True), (ValueError("x"), True), (OverflowError("x"), True), (RuntimeError("x"), True),
    (NotImplementedError("x"), False), (MemoryError(), True), (UnicodeEncodeError("utf-8", "\ud800", 0, 1, "x"), True),
    (SystemError("x"), False), (KeyError("x"), False), (IndexError("x"), False), (AttributeError("x"), False),
    (ZeroDivisionError("x"), False), (AssertionError("x"), False), (Exception("x"), False),
    (BaseException("x"), False), (SystemExit(1), False),
])
def test_outcome_rules(exc, ok):
    assert acceptable(exc) is ok


def test_a_panic_is_accepted_and_is_not_an_exception():
    # Unequal signal lengths break an engine invariant.
    n = 3
    with pytest.raises(BaseException) as info:
        tm.run_single_backtest(np.zeros(n, np.int64), *[np.ones(n)] * 5, np.zeros(n, bool), np.zeros(n - 1, bool))
    assert is_panic(info.value) and acceptable(info.value)
    assert not is_panic(RuntimeError("PanicException"))


@pytest.mark.parametrize("ident", [e.ident for e in ENTRIES])
def test_fuzz(ident, world, capsys):
    entry = world.entries[ident]
    fuzz = Fuzzer(world, ident)
    # Uncaptured, so that a sanitizer report or the watchdog's dump reaches
    # the log. A hung call never returns to Python: the watchdog dumps every
    # thread's stack and ends the run instead of waiting for the CI limit.
    with capsys.disabled(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        faulthandler.dump_traceback_later(120 + 3 * EXAMPLES, exit=True, file=sys.stderr)
        try:
            fuzz.run(entry, EXAMPLES)
        finally:
            faulthandler.cancel_dump_traceback_later()
    assert not fuzz.failures, "\n".join(fuzz.failures)
    if entry.returned and EXAMPLES >= 20:
        # Calls of the learnt kinds must get through now and then, or the
        # entry is only fuzzed at its front door.
        assert fuzz.outcomes.get("returned", 0) > 0, fuzz.outcomes
