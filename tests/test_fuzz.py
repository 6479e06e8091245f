"""Bounded fuzzing of every entry of _tidemark, found from `__all__`, the text signatures and the class
properties. A call may return or raise TypeError, ValueError, OverflowError, RuntimeError, MemoryError or
PanicException (a broken invariant; a BaseException), never NotImplementedError (every entry is built);
anything else, or a call slower than SLOW_CALL_S, fails the entry. A probe first learns what each parameter
takes; calls are then mostly of the learnt kinds, spoilt now and then. TIDEMARK_FUZZ_EXAMPLES: calls per entry
(100); TIDEMARK_FUZZ_SEED: base seed (7; each entry derives its own, so one reruns alone with -k);
TIDEMARK_FUZZ_TRACE=1: print each call first (with -s)."""

import faulthandler
import inspect
import math
import operator
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
# Amounts of work or output (paths, iterations, bars, windows): an absurd one legitimately means hours
# of work or gigabytes, so they draw from these and are always passed, never left to a costly default.
WORK = {"n_simulations": [0, 1, 2, 17, 64], "horizon_days": [0, 1, 2, 30], "max_iter": [0, 1, 5, 50],
        "step": [-1, 0, 1, 2, 3, 5, 60, 2**32 - 1, 2**32],
        "brick_size": [0.0, -5.0, math.nan, math.inf, -math.inf, 0.25, 1.0, 3.0, 50.0],
        **dict.fromkeys(["period", "k_period", "d_period", "fast_period", "slow_period", "signal_period",
                         "lookback", "skip", "horizon"], [-1, 0, 1, 2, 3, 5, 14, 64, 10**6])}
FLOAT_SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, 100.0, math.nan, -math.nan, math.inf, -math.inf, 1e308, -1e308,
                  5e-324, -5e-324, 1e-300, 2.0**53, 2.0**63, 2.0**64, 1e19, -9.3e18]
INT_SPECIALS = [0, 1, -1, 2, 7, 60, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**53 + 1,
                2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 2**100, -2**100, 10**30]
# Finite array values stay small: an astronomical price is an astronomical number of Renko bricks.
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
# Panics that are no broken invariant: memory that cannot be had must be a MemoryError, and a size no
# container can hold is a size taken from the caller unchecked (or computed wrongly).
ALLOCATION_TEXTS = ("std::bad_alloc", "std::bad_array_new_length", "cannot create std::vector larger than",
                    "vector::reserve", "vector::_M_realloc_insert", "vector::_M_default_append",
                    "vector::_M_fill_insert", "basic_string::_M_create")
MyArray = type("MyArray", (np.ndarray,), {})  # a subclass, which the boundary must read like any array


def acceptable(exc):
    t = type(exc)
    if t.__name__ == "PanicException" and t.__module__ == "_tidemark" and not isinstance(exc, Exception):
        return not str(exc).startswith(ALLOCATION_TEXTS)
    return isinstance(exc, ACCEPTED) and not isinstance(exc, NotImplementedError)


def quietly(make):
    try:
        return True, make()
    except BaseException:  # noqa: BLE001 - a recipe that no longer works, or a value beyond repr
        return False, None


def describe(value, depth=0):
    if isinstance(value, np.ndarray):
        flags = " read-only" * (not value.flags.writeable) + " unaligned" * (not value.flags.aligned)
        ok, head = quietly(lambda: repr(value.flat[:4].tolist()))  # never ravel: a broadcast may be huge
        return (f"{type(value).__name__}(dtype={value.dtype}, shape={value.shape}, strides={value.strides}"
                f"{flags}, head={(head if ok else '?')[:80]})")
    if isinstance(value, (list, tuple)) and depth < 1:
        return f"{type(value).__name__}[{len(value)}]({', '.join(describe(v, 1) for v in value[:4])})"
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def describe_call(label, args, kwargs):
    return f"{label}({', '.join([describe(a) for a in args] + [f'{k!r}={describe(v)}' for k, v in kwargs.items()])})"


def optional(param):
    return param.default is not inspect.Parameter.empty


class Entry:
    """One thing to fuzz: a function, constructor, static method, method or property."""

    def __init__(self, ident, kind, target, cls=None, name=None):
        self.ident, self.kind, self.target, self.cls, self.name = ident, kind, target, cls, name
        text = None if kind == "property" else getattr(target, "__text_signature__", None)
        # None for a property, or a class Python cannot construct
        self.params = None if text is None else list(inspect.signature(target).parameters.values())[
            text.startswith("($self"):]
        self.kinds = {}  # parameter name -> learnt kind, or None
        self.returned = self.settable = False  # returned: a probe call with every argument converted returned


def discover():
    entries = []
    for name, value in ((name, getattr(tm, name)) for name in tm.__all__):
        if not isinstance(value, type):
            entries += [Entry(name, "function", value)] if callable(value) else []
            continue
        entries.append(Entry(f"{name}()", "constructor", value, value))
        for attr, desc in vars(value).items():
            kind = ("static" if isinstance(desc, (staticmethod, classmethod)) else
                    "method" if inspect.ismethoddescriptor(desc) else
                    "property" if inspect.isgetsetdescriptor(desc) or inspect.ismemberdescriptor(desc) else None)
            if kind and not attr.startswith("__"):
                entries.append(Entry(f"{name}.{attr}", kind, getattr(value, attr) if kind == "static" else desc,
                                     value, attr))
    return entries


CLASSES = {name: getattr(tm, name) for name in tm.__all__ if isinstance(getattr(tm, name), type)}
ENTRIES = discover()


def system_class(value):
    return type(value) if CLASSES.get(type(value).__name__) is type(value) else None


def probe_candidates(i, pool, n=5):
    """Typed values for parameter number i, in the order they are tried."""
    f64 = np.linspace(100.0, 104.0, n) + i
    return [("f64", f64), ("i64", 1_700_000_000_000_000_000 + np.arange(n, dtype=np.int64) * 60_000_000_000),
            # one flag at a position per parameter: entries and exits given this way make a trade
            ("bool[]", np.roll(np.arange(n) == 0, i)),
            ("mat", 0.01 * np.eye(n, 3) + 0.001 * np.arange(n * 3).reshape(n, 3) / (i + 1)),
            ("float", 2.5), ("int", 1), ("bool", True), ("str", "NSE")] + [
            (f"obj:{c}", objs[0]) for c, objs in pool.items()] + [
            ("seq:f64", [f64, f64]), ("seq:float", [0.5, 0.25]), ("seq:int", [1, 2]), ("seq:str", ["A", "B"])] + [
            (f"seq:obj:{c}", [objs[0], objs[0]]) for c, objs in pool.items()]


class World:
    """Learnt parameter kinds, and recipes that rebuild the module's objects."""

    def __init__(self):
        self.entries = {e.ident: e for e in ENTRIES}
        self.recipes = {}  # class name -> zero-argument callables making an instance
        self.makers = {}  # class name -> entries that return an instance directly
        self.words, self.failures = list(WORDS), []  # failures: unacceptable outcomes met while probing
        # Two rounds of callables, so that parameters of the module's classes get the first round's objects.
        for kinds in [("constructor", "static", "function")] * 2 + [("method",), ("property",)]:
            pool = self.pool()
            for e in [e for e in ENTRIES if e.kind in kinds]:
                (self.probe_property if e.kind == "property" else self.probe)(e, pool)

    def attempt(self, label, fn, *args, **kwargs):
        try:
            return True, fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - every outcome is judged
            if not acceptable(exc):
                self.failures.append(f"{describe_call(label, args, kwargs)} raised {type(exc).__name__}: {str(exc)!r}")
            return False, exc

    def pool(self):
        """Fresh instances of every class that could be made, rebuilt from their recipes."""
        made = {cname: [obj for ok, obj in map(quietly, makes) if ok] for cname, makes in self.recipes.items()}
        return {cname: objs for cname, objs in made.items() if objs}

    def harvest(self, value, make, depth=0):
        """Keeps recipes for the objects reachable from `value`, and the words it returns."""
        cls = system_class(value)
        if cls is not None:
            makes = self.recipes.setdefault(cls.__name__, [])
            if len(makes) < 3:
                makes.append(make)
            for e in (ENTRIES if depth < 2 else ()):
                if e.cls is cls and (e.kind == "property" or e.kind == "method" and e.params == []):
                    step = (operator.methodcaller if e.kind == "method" else operator.attrgetter)(e.name)
                    ok, out = self.attempt(e.ident, step, value)
                    if ok and isinstance(out, str) and out not in self.words:
                        self.words.append(out)
                    if ok:
                        self.harvest(out, lambda make=make, step=step: step(make()), depth + 1)
        elif isinstance(value, (list, tuple, dict)) and depth < 3:
            for k in list(value)[:8] if isinstance(value, dict) else range(min(3, len(value))):
                self.harvest(value[k], lambda make=make, k=k: make()[k], depth + 1)

    def receiver(self, entry):
        return next((obj for ok, obj in map(quietly, self.recipes.get(entry.cls.__name__, [])) if ok), None)

    def bound(self, entry):
        """The callable of an entry, with a fresh receiver for a method."""
        obj = self.receiver(entry) if entry.kind == "method" else None
        return entry.target if entry.kind != "method" else None if obj is None else getattr(obj, entry.name)

    def probe(self, entry, pool):
        """Tries typed candidates per parameter until a call converts every argument."""
        fn, params = self.bound(entry), entry.params
        if fn is None or params is None:
            return
        cands = {p.name: probe_candidates(i, pool) for i, p in enumerate(params)}
        choice = dict.fromkeys(cands, 0)
        tried = lambda p: cands[p.name][choice[p.name]]  # (kind, value)  # noqa: E731
        active, kinds, typed = list(params), {}, False
        for _ in range(50 + 40 * len(params)):
            ok, outcome = self.attempt(entry.ident, fn, **{p.name: tried(p)[1] for p in active})
            text = str(outcome) if type(outcome) is TypeError else ""  # a conversion error names its parameter
            name = text[10:text.find("': ", 10)] if text.startswith("argument '") else None
            param = next((p for p in active if p.name == name), None)
            if typed := param is None:  # converted, or refused for another reason than a type
                break
            choice[name] += 1
            if choice[name] < len(cands[name]):
                continue
            kinds[name] = None
            if not optional(param):  # no later parameter is reached; the earlier ones converted
                kinds.update((p.name, tried(p)[0]) for p in params[:params.index(param)] if p in active)
                break
            active.remove(param)
        if not typed:
            entry.kinds = {p.name: kinds.get(p.name) for p in params}
            return
        entry.returned, entry.kinds = ok, kinds | {p.name: tried(p)[0] for p in active}
        # Objects for the pool, from the call with every argument and with the required ones only.
        full = {p.name: tried(p)[1] for p in active}
        for kwargs in (full, {p.name: full[p.name] for p in active if not optional(p) or p.name in WORK}):
            ok, out = self.attempt(entry.ident, fn, **kwargs)
            if ok:
                self.harvest(out, lambda e=entry, kw=kwargs: self.bound(e)(**kw))
                cls = system_class(out)
                if cls is not None and entry.kind != "method" and entry not in self.makers.setdefault(cls.__name__, []):
                    self.makers[cls.__name__].append(entry)

    def probe_property(self, entry, pool):
        obj = self.receiver(entry)
        if obj is None:
            return
        self.attempt(entry.ident, getattr, obj, entry.name)
        entry.kinds = {"value": None}
        for kind, value in probe_candidates(0, pool):
            try:
                setattr(obj, entry.name, value)
            except AttributeError:
                entry.kinds = {}
                return  # no setter
            except TypeError:
                continue
            except BaseException as exc:  # noqa: BLE001
                if not acceptable(exc):
                    self.failures.append(f"setting {entry.ident} to {describe(value)} raised {exc!r}")
            entry.kinds = {"value": kind}
            break
        entry.settable = True


class Hook:
    """A number whose conversion calls back into the module first."""

    def __init__(self, fuzz, value):
        self.fuzz, self.value = fuzz, value

    def __float__(self):
        return self.fuzz.nested() or float(self.value)

    def __index__(self):
        return self.fuzz.nested() or int(self.value)


class Fuzzer:
    def __init__(self, world, ident):
        seed = zlib.crc32(f"{SEED}:{ident}".encode())
        self.world, self.rng, self.np = world, random.Random(seed), np.random.default_rng(seed)
        self.pool, self.failures, self.outcomes, self.in_nested = world.pool(), [], {}, False
        self.clean = False  # every value plain, of its kind and length: many-array entries pass their checks

    def call(self, label, fn, args=(), kwargs=None, allow=(), binding_error=False):
        """Makes one call and judges it. `binding_error`: the arguments cannot be bound to the
        parameters, which must raise exactly TypeError."""
        kwargs, what = kwargs or {}, lambda: describe_call(label, args, kwargs)
        if TRACE:
            print("fuzz:", what(), file=sys.stderr, flush=True)
        start, result, outcome, fault = time.perf_counter(), None, "returned", binding_error and "returned"
        try:
            result = fn(*args, **kwargs)
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # noqa: BLE001 - every outcome is judged
            outcome = type(exc).__name__
            ok = type(exc) is TypeError if binding_error else acceptable(exc) or isinstance(exc, allow)
            fault = not ok and f"raised {outcome}: {str(exc)!r:.300}"
        if fault:
            self.failures.append(f"{what()}{' cannot be bound but' * binding_error} {fault}")
        if (elapsed := time.perf_counter() - start) > SLOW_CALL_S:
            self.failures.append(f"{what()} took {elapsed:.1f} s")
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
        """Reads or writes one property of one of the module's objects (from a Hook)."""
        if self.in_nested or not self.pool:
            return
        self.in_nested = True
        try:
            obj = self.obj_any()
            props = [e for e in ENTRIES if e.cls is type(obj) and e.kind == "property"]
            if props:
                e = self.rng.choice(props)
                if e.settable and self.rng.random() < 0.5:
                    self.call(f"(nested) {e.ident} =", setattr, (obj, e.name, self.value(e.kinds["value"], 3, None)))
                else:
                    self.call(f"(nested) {e.ident}", getattr, (obj, e.name))
        finally:
            self.in_nested = False

    def sprinkle(self, a, chance, most, values=ARRAY_SPECIALS):
        if a.size and self.rng.random() < chance:
            for _ in range(self.rng.randint(1, most)):
                a.flat[self.rng.randrange(a.size)] = self.rng.choice(values)
        return a

    def values(self, kind, n):
        """Plain values of an array kind: a walk of prices, a ramp of times, or flags."""
        r = self.rng.random()
        if kind == "f64":
            walk = 100.0 * np.exp(np.cumsum(self.np.normal(0.0, 0.03, n)))
            return self.sprinkle(-walk if r < 0.1 else np.full(n, walk[0] if n else 0.0) if r < 0.15 else walk, 0.35, 3)
        if kind == "bool[]":
            if r < 0.1:  # bool bytes other than 0 and 1
                return self.np.integers(0, 256, n, dtype=np.uint8).view(np.bool_)
            return self.np.random(n) < self.rng.choice([0.0, 0.1, 0.3, 0.5, 1.0])
        step = self.rng.choice([1, 1_000_000_000, 60_000_000_000, 86_400_000_000_000])
        base = self.rng.choice([1_700_000_000_000_000_000, 0, -(2**62), 2**62])
        ramp = base + np.arange(n, dtype=np.int64) * step
        out = (ramp if r < 0.6 else
               np.sort(self.np.integers(-(2**63), 2**63 - 1, n, dtype=np.int64, endpoint=True)) if r < 0.75 else
               ramp[::-1].copy() if r < 0.85 else np.full(n, base, dtype=np.int64))
        return self.sprinkle(out, 0.25, 1, [0, -1, 2**63 - 1, -(2**63), 1])

    def vector(self, kind, n):
        if n and not self.clean and self.rng.random() < 0.08:
            n = self.rng.choice(SIZES)  # a length that does not match the others
        values = self.values(kind, n)
        if n and not self.clean and self.rng.random() < 0.02:
            # more bytes than an address space holds: the copy must end in MemoryError
            return np.broadcast_to(values[:1], (2**62 // values.dtype.itemsize,))
        return self.dress(values)

    def matrix(self, n):
        k = self.rng.choice([0, 1, 2, 3, 3, 5])
        n = k if self.rng.random() < 0.2 else n  # square, as a correlation matrix is
        return self.dress(self.sprinkle(self.np.normal(0.0, 0.02, (n, k)), 0.3, 1))

    def wrong_dtype(self, a):
        dtype = self.rng.choice(DTYPES)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                if dtype == "V8" or isinstance(dtype, list):
                    return np.zeros(a.shape, dtype=dtype)
                out = a.astype(dtype)
                if dtype is object and out.size:
                    out.flat[0] = self.rng.choice([None, "x", self.obj_any()])
                return out
            except Exception:  # noqa: BLE001 - a cast NumPy refuses for these values
                return np.zeros(a.shape, dtype=np.float32)

    def dress(self, a):
        """The values of `a` in some layout or form a caller might pass."""
        if self.clean or self.rng.random() < 0.5:
            return a
        forms = {
            "strided": lambda: np.repeat(a, 2, axis=-1)[..., ::2], "reversed": lambda: a[::-1].copy()[::-1],
            "read-only": lambda: a.setflags(write=False) or a,
            "unaligned": lambda: np.frombuffer(bytearray(1) + a.tobytes(), a.dtype, offset=1).reshape(a.shape),
            "broadcast": lambda: np.broadcast_to(a[:1], a.shape),
            "masked": lambda: np.ma.masked_array(a, mask=self.np.random(a.shape) < 0.5),
            "subclass": lambda: a.view(MyArray), "fortran": lambda: np.asfortranarray(a),
            "fortran-pair": lambda: np.asfortranarray(np.stack([a, a]))[0],
            "row": lambda: a.reshape(1, -1), "column": lambda: a.reshape(-1, 1), "1-d": lambda: a.ravel(),
            "0-d": lambda: np.array(a.flat[0] if a.size else 0, dtype=a.dtype),
            "3-d": lambda: a.reshape((1,) * (3 - a.ndim) + a.shape),
            "dtype": lambda: self.wrong_dtype(a), "list": lambda: a.tolist(),
        }
        try:
            return forms[self.rng.choice([*forms, "dtype"])]()
        except (TypeError, ValueError):
            return a  # a layout this dtype cannot take

    def number(self, kind, bounded):
        r = self.rng.random()
        if bounded is not None:
            v = self.rng.choice(bounded)
            return float(v) if kind == "float" else v
        if kind == "float":
            return (self.rng.choice(FLOAT_SPECIALS) if r < 0.5 else
                    self.rng.uniform(-2.0, 2.0) * 10 ** self.rng.randint(-3, 6) if r < 0.8 else
                    self.rng.choice([np.float64(-0.0), np.float32(1.5), np.int64(3), True, 2, 2**70,
                                     Fraction(1, 3), Decimal("0.1"), np.float16(65504)]))
        return (self.rng.choice(INT_SPECIALS) if r < 0.55 else self.rng.randint(-3, 40) if r < 0.85 else
                self.rng.choice([np.int64(5), np.uint64(2**64 - 1), np.int8(-1), True, False, np.int32(-7)]))

    def obj_of(self, cname, depth):
        r, objs = self.rng.random(), self.pool.get(cname)
        if objs and r < 0.65:
            return self.rng.choice(objs)
        if r < 0.9 and depth == 0 and (made := self.make_instance(cname)) is not None:
            return made
        return self.obj_any() if self.rng.random() < 0.5 or not objs else self.rng.choice(objs)

    def obj_any(self):
        return self.rng.choice(self.pool[self.rng.choice(sorted(self.pool))]) if self.pool else None

    def make_instance(self, cname):
        """A fresh object made by one of its makers with fuzzed arguments, then changed by a few of its
        methods and setters."""
        makers = self.world.makers.get(cname)
        for _ in range(3 if makers else 0):
            entry = self.rng.choice(makers)
            args, kwargs, _ = self.arguments(entry, depth=1, spoil=False)
            outcome, obj = self.call(entry.ident, entry.target, args, kwargs)
            if outcome == "returned" and system_class(obj) is not None:
                break
        else:
            return None
        changes = [e for e in ENTRIES if e.cls is type(obj) and (e.kind == "method" and e.params or e.settable)]
        for _ in range(self.rng.randint(0, 3) if changes else 0):
            e = self.rng.choice(changes)
            if e.kind == "method":
                args, kwargs, _ = self.arguments(e, depth=1, spoil=False)
                self.call(e.ident, getattr(obj, e.name), args, kwargs)
            else:
                value = self.value(e.kinds["value"], 3, WORK.get(e.name), depth=1)
                self.call(f"{e.ident} =", setattr, (obj, e.name, value))
        return obj

    def wild(self, n, bounded=None):
        """A value of any kind at all."""
        return self.rng.choice([
            lambda: None, lambda: True, lambda: "text", lambda: b"bytes", lambda: bytearray(b"\x00\x01"),
            lambda: [], lambda: [1.0, math.nan], lambda: (1.0,), lambda: {}, lambda: {"a": 1.0}, object,
            lambda: self.obj_any(), lambda: self.rng.choice(list(CLASSES.values())), lambda: len,
            lambda: np.float64(1.5), lambda: np.array(1.0), lambda: complex(1, 2), lambda: range(3),
            lambda: {1, 2}, lambda: memoryview(b"ab"), lambda: np.array([None, "x"], dtype=object),
            lambda: self.number(self.rng.choice(["float", "int"]), bounded),
            lambda: self.rng.choice(self.world.words),
            lambda: self.dress(self.wrong_dtype(self.values("f64", n))),
            lambda: self.vector(self.rng.choice(["f64", "i64", "bool[]"]), n), lambda: self.matrix(n),
            lambda: Hook(self, self.number(self.rng.choice(["float", "int"]), bounded)),
        ])()

    def value(self, kind, n, bounded, depth=0):
        """A value of the learnt kind, spoilt now and then."""
        if kind is None or (not self.clean and self.rng.random() < 0.06):
            return self.wild(n, bounded)
        if kind in ("f64", "i64", "bool[]"):
            return self.vector(kind, n)
        if kind == "mat":
            return self.matrix(n)
        if kind in ("float", "int"):
            number = self.number(kind, bounded)
            return Hook(self, number) if self.rng.random() < 0.05 else number
        if kind == "bool":
            odd = self.rng.random() < 0.1
            return self.rng.choice([np.True_, 1, 0, None, "True"]) if odd else self.rng.random() < 0.5
        if kind == "str":
            return self.rng.choice(self.world.words)
        if kind.startswith("obj:"):
            return self.obj_of(kind[4:], depth)
        r = self.rng.random()  # a sequence
        if r < 0.1:
            return self.rng.choice(self.world.words)
        items = [self.value(kind[4:], n, bounded, depth + 1) for _ in range(self.rng.choice([0, 1, 2, 2, 3, 4]))]
        return tuple(items) if r < 0.2 else items

    def arguments(self, entry, depth=0, spoil=True):
        """Arguments for a call, and whether they cannot be bound."""
        params, n = entry.params, self.rng.choice(SIZES)
        self.clean = self.rng.random() < 0.25
        if params is None:
            return [self.wild(n) for _ in range(self.rng.randint(0, 2))], {}, True
        args, kwargs, positional = [], {}, True
        for p in params:
            bounded = WORK.get(p.name)
            if optional(p) and bounded is None and self.rng.random() < 0.35:
                positional = False
                continue
            v = self.value(entry.kinds.get(p.name), n, bounded, depth)
            if positional and self.rng.random() < 0.7:
                args.append(v)
            else:
                positional, kwargs[p.name] = False, v
        r = self.rng.random() if spoil and not self.clean else 1.0
        if r < 0.03:
            args.append(self.wild(n))
        elif r < 0.06:
            kwargs[self.rng.choice(BAD_KEYWORDS)] = self.wild(n)
        elif r < 0.08 and args:
            args.pop()
        elif r < 0.10 and args and params:
            kwargs[params[0].name] = args[0]
        names = [p.name for p in params]
        unbound = (len(args) > len(params) or any(k not in names or names.index(k) < len(args) for k in kwargs)
                   or any(not optional(p) and i >= len(args) and p.name not in kwargs for i, p in enumerate(params)))
        return args, kwargs, unbound

    def run(self, entry, examples):
        for _ in range(examples):
            if entry.kind in ("function", "constructor", "static"):
                args, kwargs, unbound = self.arguments(entry)
                self.call(entry.ident, entry.target, args, kwargs, binding_error=unbound)
                continue
            objs = self.pool.get(entry.cls.__name__)
            # now and then not of the class: the descriptor must refuse it
            obj = self.rng.choice(objs) if objs and self.rng.random() < 0.95 else self.wild(3)
            if entry.kind != "property":
                args, kwargs, unbound = self.arguments(entry)
                mine = isinstance(obj, entry.cls)
                self.call(entry.ident, getattr(obj, entry.name) if mine else entry.target,
                          args if mine else [obj, *args], kwargs, binding_error=unbound or not mine)
                continue
            desc = entry.target
            self.call(f"{entry.ident} (get)", desc.__get__, (obj, type(obj)))
            r = self.rng.random()
            if r < 0.05:  # deleting: AttributeError, or TypeError for a foreign object
                self.call(f"del {entry.ident}", desc.__delete__, (obj,), allow=(AttributeError,))
            elif entry.settable:
                value = self.value(entry.kinds["value"], self.rng.choice(SIZES), WORK.get(entry.name))
                self.call(f"{entry.ident} =", desc.__set__, (obj, value))
            elif r < 0.2:  # no setter: CPython's own AttributeError
                self.call(f"{entry.ident} =", desc.__set__, (obj, 1.0), allow=(AttributeError,))


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
            assert {f"{name}()"} | {f"{name}.{a}" for a, d in vars(value).items()
                                    if not a.startswith("__") and (callable(d) or hasattr(d, "__get__"))} <= idents
        else:
            assert name in idents or not callable(value), name


def test_probe_learns_the_documented_parameter_kinds(world):
    entry = world.entries["run_single_backtest"]
    assert entry.returned and entry.kinds == {
        "timestamps": "i64", "open": "f64", "high": "f64", "low": "f64", "close": "f64", "volume": "f64",
        "entries": "bool[]", "exits": "bool[]", "direction": "int", "weight": "float", "symbol": "str",
        "config": "obj:BacktestConfig", "position_sizes": "f64", "instrument_config": "obj:InstrumentConfig"}
    assert [world.entries[f"BacktestConfig.{e}"].kinds for e in ("fees", "fee_segment", "upon_bar_close")] == [
        {"value": "float"}, {"value": "str"}, {"value": "bool"}]
    assert world.entries["BacktestConfig.set_atr_stop"].kinds == {"multiplier": "float", "period": "int"}
    assert not world.entries["BacktestConfig.squareoff_time_minutes"].settable
    # Objects reached only through results are there to call methods on.
    assert {"BacktestResult", "BacktestMetrics", "Trade", "InstrumentSpec"} <= set(world.pool())
    assert not world.failures, "\n".join(world.failures)  # probing raised only ordinary exceptions


def test_outcome_rules():
    with pytest.raises(BaseException) as panic:  # unequal signal lengths break an engine invariant
        tm.run_single_backtest(np.zeros(3, np.int64), *[np.ones(3)] * 5, np.zeros(3, bool), np.zeros(2, bool))
    assert all(map(acceptable, [panic.value, TypeError(), ValueError(), OverflowError(), RuntimeError(),
                                MemoryError(), UnicodeEncodeError("utf-8", "\ud800", 0, 1, "x")]))
    assert not any(map(acceptable, [NotImplementedError(), SystemError(), KeyError(), AttributeError(),
                                    ZeroDivisionError(), Exception(), BaseException(), SystemExit(1),
                                    type(panic.value)("std::bad_alloc")]))


@pytest.mark.parametrize("ident", [e.ident for e in ENTRIES])
def test_fuzz(ident, world, capsys):
    entry, fuzz = world.entries[ident], Fuzzer(world, ident)
    # Uncaptured, so that a sanitizer report or the dump of the watchdog (which ends a hung run) is seen.
    with capsys.disabled(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        faulthandler.dump_traceback_later(120 + 3 * EXAMPLES, exit=True, file=sys.stderr)
        try:
            fuzz.run(entry, EXAMPLES)
        finally:
            faulthandler.cancel_dump_traceback_later()
    assert not fuzz.failures, "\n".join(fuzz.failures[:10])
    if entry.returned and EXAMPLES >= 20:
        # calls of the learnt kinds must get through now and then, not only knock at the front door
        assert fuzz.outcomes.get("returned", 0) > 0, fuzz.outcomes
