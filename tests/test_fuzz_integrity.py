"""Property-based fuzzing of QVMIntegrityModel: random objects for every
parameter and random, damaged or hostile artifacts for import_json. Every call
either succeeds or raises an ordinary exception, and the instance ends in the
state that a plain Python rendering of the loading steps leaves it in: a
rejected artifact or an unreadable file changes nothing."""

import contextlib
import decimal
import fractions
import inspect
import json
import os
import pathlib

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvex.core.integrity as integrity
from tarvex.core.detector import ConditionalMahalanobis

QVM = integrity.QVMIntegrityModel
FORMAT = "tarvex_integrity_v1"
FITTED = ConditionalMahalanobis().fit([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0], [3.0, 1.0]], [0, 0, 1, 1]).to_dict()
# Fuzzed values overflow, lose precision and go through deprecated conversions on purpose.
pytestmark = pytest.mark.filterwarnings("ignore")
FUZZ = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# Hostile objects: protocols that fail or return nonsense ----------------------

class BadBool:
    def __bool__(self):
        raise RuntimeError("bool")


class BadCompare:
    def __eq__(self, other):
        raise ArithmeticError("eq")

    def __ne__(self, other):
        return BadBool()

    __hash__ = object.__hash__


class BadInt:
    """Passes the number check, then returns a non-int from its conversion."""

    def __int__(self):
        return "seven"


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index")


class BadIterable:
    def __iter__(self):
        raise LookupError("iter")


class HugeLengthHint:
    def __iter__(self):
        return iter(())

    def __length_hint__(self):
        return 2**62


class StrSub(str):
    pass


HUGE_INTS = st.builds(lambda mantissa, exponent: mantissa * 10**exponent, st.integers(-99, 99), st.integers(18, 300))
HOSTILE = [BadBool(), BadCompare(), BadInt(), RaisingIndex(), BadIterable(), HugeLengthHint(), StrSub(FORMAT)]
SPECIALS = [object(), Ellipsis, NotImplemented, int, str, type, len, os, pathlib.Path("a.json"), b"a.json",
            bytearray(b"x"), range(3), slice(1, 2), np.zeros((2, 2)), np.array(3.5), np.array([]), np.float32(2.5),
            np.int64(-3), np.bool_(True), torch.tensor([1.5]), torch.nn.Linear(2, 2)]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), HUGE_INTS,
    st.floats(allow_nan=True, allow_infinity=True), st.complex_numbers(allow_nan=True, allow_infinity=True),
    st.decimals(allow_nan=True, allow_infinity=True), st.fractions(), st.text(max_size=8), st.binary(max_size=8),
    st.sampled_from(HOSTILE), st.sampled_from(SPECIALS),
)
anything = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=4), inner, max_size=4)),
    max_leaves=8,
)


def passes_number_check(value):
    """What the C API's number check accepts: anything with an integer, index
    or float conversion, and complex numbers."""
    kind = type(value)
    return isinstance(value, complex) or any(hasattr(kind, name) for name in ("__index__", "__int__", "__float__"))


def assert_incorrect_type(error, name, expected, value):
    # The type is named as the C API names it: a built-in extension type with
    # its module ("numpy.ndarray"), a class defined in Python by its name.
    assert type(error) is TypeError
    prefix = f"Argument '{name}' has incorrect type (expected {expected}, got "
    message = str(error)
    assert message.startswith(prefix) and message.endswith(")"), message
    shown = message[len(prefix):-1]
    assert shown == type(value).__name__ or shown.endswith("." + type(value).__name__), message


def assert_ordinary(error):
    # SystemError is how the interpreter reports a native function that
    # returned NULL without an exception, or a result with one pending.
    assert isinstance(error, Exception) and not isinstance(error, SystemError), repr(error)


# Construction -----------------------------------------------------------------

@FUZZ
@given(model=anything, num_classes=anything)
def test_construction_succeeds_or_raises(model, num_classes):
    try:
        m = QVM(model, num_classes)
    except Exception as error:
        assert_ordinary(error)
        if not passes_number_check(num_classes):
            assert_incorrect_type(error, "num_classes", "int", num_classes)
        return
    assert passes_number_check(num_classes)
    assert type(m.num_classes) is int and m.num_classes == int(num_classes)
    assert m.model is model and m.extractor.model is model and m.detector_kind == "v1"


def reference_init(self, model, num_classes):
    pass


def reference_import_json(self, path):
    pass


KEYWORDS = st.sampled_from(["model", "num_classes", "self", "path", "extra"]) | st.text(max_size=4)


@FUZZ
@given(args=st.lists(anything, max_size=4), kwargs=st.dictionaries(KEYWORDS, anything, max_size=3))
def test_call_shapes_bind_like_python_functions(args, kwargs, empty_dir):
    """Wrong counts, unknown and repeated keywords fail exactly where a Python
    function with the same parameters fails to bind."""
    for call, reference in [(lambda: QVM(*args, **kwargs), reference_init),
                            (lambda: QVM(object(), 2).import_json(*args, **kwargs), reference_import_json)]:
        try:
            inspect.signature(reference).bind(None, *args, **kwargs)
            binds = True
        except TypeError:
            binds = False
        try:
            with working_directory(empty_dir):  # a text path never names a file
                call()
        except Exception as error:
            assert_ordinary(error)
            if not binds:
                assert type(error) is TypeError
        else:
            assert binds


@contextlib.contextmanager
def working_directory(path):
    previous = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(previous)


@pytest.fixture(scope="module")
def empty_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("empty")


@FUZZ
@given(path=anything | st.text())
def test_bad_paths_raise_and_change_nothing(path, empty_dir):
    if type(path) is str:
        path = path.lstrip("/")  # relative, so it resolves in the empty directory
    m = fresh_instance(Recording)
    before = snapshot(m)
    with working_directory(empty_dir), pytest.raises(Exception) as caught:
        m.import_json(path)
    assert_ordinary(caught.value)
    if type(path) is not str:
        assert_incorrect_type(caught.value, "path", "str", path)
    assert snapshot(m) == before


# Artifacts ----------------------------------------------------------------------

class Recording:
    def __init__(self):
        self.selected, self.enabled = "untouched", 0

    def enable_selected_hooks(self):
        self.enabled += 1


class FailingEnable(Recording):
    def enable_selected_hooks(self):
        raise KeyError("no submodule")


class Falsy(Recording):
    def __bool__(self):
        return False


class Frozen:
    """Truthy, but refuses new attributes."""

    __slots__ = ()


INSTRUMENTORS = [Recording, FailingEnable, Falsy, Frozen, BadBool, lambda: None]


def fresh_instance(make_instrumentor):
    m = QVM(object(), 5)
    m.instrumentor, m.det_update, m.det_infer, m._infer_ready = make_instrumentor(), "old update", "old infer", False
    return m


def describe(value):
    if isinstance(value, ConditionalMahalanobis):
        return ("detector", repr(value.to_dict()))
    if isinstance(value, Recording):
        return (type(value).__name__, repr(value.selected), value.enabled)
    if isinstance(value, (str, int, bool)) or value is None:
        return value
    return type(value).__name__  # the other instrumentors carry no state


def snapshot(m):
    return {name: describe(getattr(m, name)) for name in
            ("num_classes", "det_update", "det_infer", "_infer_ready", "instrumentor")}


INVALID = "Invalid tarvEX artifact: "
MISSING = object()


def reference_load(self, payload):
    """The loading steps in plain Python, on an already loaded payload: the
    whole artifact is checked and built before the instance is touched."""
    if payload.get("format") != FORMAT:
        raise ValueError("Unsupported tarvEX artifact")
    stored = payload["num_classes"]
    if isinstance(stored, bool):
        raise TypeError(INVALID + "'num_classes' must be an integer, not bool")
    num_classes = int(stored)
    if num_classes <= 0:
        raise ValueError(INVALID + "'num_classes' must be a positive integer")
    stored = payload.get("hooks", [])
    if not isinstance(stored, list):
        raise TypeError(INVALID + f"'hooks' must be a list of strings, not {type(stored).__name__}")
    hooks = list(stored)
    for i, hook in enumerate(hooks):
        if not isinstance(hook, str):
            raise TypeError(INVALID + f"'hooks' must be a list of strings, entry {i} is {type(hook).__name__}")
    detectors = []
    for key in ("det_update", "det_infer"):
        if not payload.get(key):
            detectors.append(ConditionalMahalanobis())
            continue
        entry = payload[key]
        if not isinstance(entry, dict):
            raise ValueError(INVALID + f"'{key}' must be an object, not {type(entry).__name__}")
        detectors.append(ConditionalMahalanobis.from_dict(entry))
    if self.instrumentor:
        previous = getattr(self.instrumentor, "selected", MISSING)
        self.instrumentor.selected = hooks
        if hooks:
            try:
                self.instrumentor.enable_selected_hooks()
            except BaseException:
                if previous is MISSING:
                    del self.instrumentor.selected
                else:
                    self.instrumentor.selected = previous
                raise
            self._infer_ready = True
    self.num_classes = num_classes
    self.det_update, self.det_infer = detectors


def outcome(run):
    try:
        run()
    except Exception as error:
        assert_ordinary(error)
        return type(error), str(error)
    return None


def check_against_reference(make_instrumentor, payload_for_reference):
    native, expected = fresh_instance(make_instrumentor), fresh_instance(make_instrumentor)
    before = snapshot(native)
    got = outcome(lambda: native.import_json("artifact.json"))
    want = outcome(lambda: reference_load(expected, payload_for_reference()))
    assert got == want
    assert snapshot(native) == snapshot(expected)
    if got is not None:
        assert snapshot(native) == before
    return got


json_scalars = st.one_of(st.none(), st.booleans(), st.integers(), HUGE_INTS,
                         st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=6))
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=12,
)
float_grids = st.recursive(st.floats(allow_nan=True, allow_infinity=True) | st.integers(-(2**70), 2**70),
                           lambda inner: st.lists(inner, max_size=3), max_leaves=10)


@st.composite
def detector_entries(draw):
    kind = draw(st.integers(0, 3))
    if kind == 0:
        return draw(st.sampled_from([None, {}, [], "", 0, False]))
    if kind == 1:
        return draw(json_values)
    # A fitted detector with keys removed or replaced by values of any shape.
    entry = dict(FITTED)
    for key in draw(st.sets(st.sampled_from(sorted(entry)))):
        del entry[key]
    for key in draw(st.sets(st.sampled_from(["reg", "classes", "means", "inv_cov"]))):
        entry[key] = draw(float_grids | json_values)
    return entry


@st.composite
def artifacts(draw):
    if draw(st.integers(0, 9)) == 0:
        return draw(json_values)  # not an object at the top level
    doc = {
        "format": FORMAT if draw(st.booleans()) else draw(st.sampled_from(["v1", "", FORMAT.upper()]) | json_values),
        "num_classes": draw(st.integers(-3, 20) | HUGE_INTS
                            | st.floats(allow_nan=True, allow_infinity=True)
                            | st.from_regex(r"\A\s*[+-]?\d{1,25}\s*\Z") | json_values),
        "hooks": draw(st.lists(st.text(max_size=5), max_size=3) | json_values),
        "det_update": draw(detector_entries()),
        "det_infer": draw(detector_entries()),
    }
    for key in draw(st.sets(st.sampled_from(sorted(doc)))):
        del doc[key]
    for key, value in draw(st.dictionaries(st.text(max_size=6), json_values, max_size=2)).items():
        doc.setdefault(key, value)
    return doc


@pytest.fixture(scope="module")
def artifact_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("artifacts")


@settings(FUZZ, max_examples=300)
@given(doc=artifacts(), make_instrumentor=st.sampled_from(INSTRUMENTORS))
def test_random_artifacts_load_like_the_reference(doc, make_instrumentor, artifact_dir):
    path = artifact_dir / "artifact.json"
    path.write_text(json.dumps(doc, allow_nan=True))
    with working_directory(artifact_dir):
        check_against_reference(make_instrumentor, lambda: integrity.load_json(str(path)))


raw_documents = st.one_of(
    st.text(max_size=40),
    st.binary(max_size=40),
    # Nesting far beyond the interpreter's recursion limit.
    st.sampled_from([10, 5000, 200000]).map(lambda depth: "[" * depth + "]" * depth),
    st.sampled_from([10, 5000, 200000]).map(lambda depth: '{"a":' * depth + "1" + "}" * depth),
    # An integer beyond the interpreter's limit on digits converted from text.
    st.integers(4400, 6000).map(lambda digits: '{"format": "%s", "num_classes": 1%s}' % (FORMAT, "0" * digits)),
    # Valid artifacts cut short.
    artifacts().map(lambda doc: json.dumps(doc, allow_nan=True)).flatmap(
        lambda text: st.integers(0, max(len(text) - 1, 0)).map(lambda cut: text[:cut])),
)


@settings(FUZZ, max_examples=100)
@given(content=raw_documents)
def test_unreadable_files_raise_and_change_nothing(content, artifact_dir):
    path = artifact_dir / "raw.json"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    m = fresh_instance(Recording)
    before = snapshot(m)
    try:
        m.import_json(str(path))
    except Exception as error:
        assert_ordinary(error)
        assert snapshot(m) == before
    else:
        assert isinstance(m.det_update, ConditionalMahalanobis) and isinstance(m.det_infer, ConditionalMahalanobis)


# In-memory payloads: any Python object where load_json would return a mapping --

payload_values = st.one_of(anything, st.just(FORMAT), st.sampled_from(HOSTILE))


@st.composite
def payloads(draw):
    if draw(st.integers(0, 4)) == 0:
        return draw(anything)  # not a mapping at all
    keys = draw(st.sets(st.sampled_from(["format", "num_classes", "hooks", "det_update", "det_infer"])))
    payload = {key: draw(payload_values) for key in keys}
    if draw(st.booleans()):
        payload["format"] = FORMAT
    return payload


@settings(FUZZ, max_examples=300)
@given(payload=payloads(), make_instrumentor=st.sampled_from(INSTRUMENTORS))
def test_hostile_payloads_load_like_the_reference(payload, make_instrumentor):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(integrity, "load_json", lambda path: payload)
        check_against_reference(make_instrumentor, lambda: payload)
