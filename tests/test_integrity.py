import json
import os
import pathlib
import signal
import sys
import textwrap

import numpy as np
import pytest

import tarvex.core.integrity as integrity
from tarvex.core import _model_utils, detector, serialization
from tarvex.core.detector import ConditionalMahalanobis
from tarvex.core.extractors import classification
from tarvex.core import integrity_monitor

from helpers import SUBINTERPRETERS, run_python

QVM = integrity.QVMIntegrityModel
ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"
FORMAT = "tarvex_integrity_v1"
FITTED = ConditionalMahalanobis().fit([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0], [3.0, 1.0]], [0, 0, 1, 1]).to_dict()


class Instrumentor:
    def __init__(self):
        self.selected, self.enabled = "untouched", 0

    def enable_selected_hooks(self):
        self.enabled += 1


@pytest.fixture
def monitor():
    m = QVM(object(), 5)
    m.instrumentor, m.det_update, m.det_infer = Instrumentor(), "old update", "old infer"
    return m


@pytest.fixture
def artifact(tmp_path):
    def write(**payload):
        path = tmp_path / "artifact.json"
        path.write_text(json.dumps(payload))
        return str(path)
    return write


def state(m):
    return dict(vars(m)), vars(m.instrumentor).copy()


@pytest.mark.parametrize("name, home, attr", [
    ("ClassificationExtractor", classification, "ClassificationExtractor"),
    ("IntegrityMonitor", integrity_monitor, "IntegrityMonitor"),
    ("ScoreResult", integrity_monitor, "ScoreResult"),
    ("ConditionalMahalanobis", detector, "ConditionalMahalanobis"),
    ("load_json", serialization, "load_json"), ("save_json", serialization, "save_json"),
    ("_to_device", _model_utils, "to_device"), ("_forward", _model_utils, "forward"),
    ("_example_tensor", _model_utils, "example_tensor"),
    ("_set_primary_input", _model_utils, "set_primary_input"),
])
def test_reexports_are_the_home_objects(name, home, attr):
    assert getattr(integrity, name) is getattr(home, attr)


def test_class_shape():
    import typing
    assert (integrity.Any, integrity.Dict, integrity.__doc__) == (typing.Any, typing.Dict, None)
    assert QVM.__bases__ == (integrity_monitor.IntegrityMonitor,)
    assert list(vars(QVM)) == ["__module__", "__doc__", "__init__", "import_json"]
    assert QVM.__doc__ == ("\n    v1 integrity monitor (sklearn conditional Mahalanobis detector).\n\n    Thin subclass of "
                           "IntegrityMonitor that explicitly pins ClassificationExtractor\n    so the S/Z feature space "
                           "is stable regardless of model size.\n    ")
    init, load = vars(QVM)["__init__"], vars(QVM)["import_json"]
    assert (init.__qualname__, init.__annotations__, init.__doc__, init.__defaults__) == (
        "QVMIntegrityModel.__init__", {"num_classes": "int"}, None, None)
    assert (load.__qualname__, load.__annotations__, load.__module__) == (
        "QVMIntegrityModel.import_json", {"path": "str", "return": "None"}, "tarvex.core.integrity")
    assert load.__doc__ == "Load a v1 artifact.  Rejects other formats to preserve type safety."


@pytest.mark.parametrize("given, expected", [(3, 3), (3.0, 3), (True, 1), (np.int64(4), 4), (7.9, 7)])
def test_constructor_converts_num_classes_and_pins_extractor(given, expected, monkeypatch):
    calls = []
    monkeypatch.setattr(integrity, "ClassificationExtractor", lambda *a, **k: calls.append((a, k)) or "extractor")
    model = object()
    m = QVM(model=model, num_classes=given)
    assert type(m.num_classes) is int and m.num_classes == expected
    assert (calls, m.extractor, m.detector_kind, m.model) == ([((model,), {})], "extractor", "v1", model)


@pytest.mark.parametrize("bad", ["3", None, [3]])
def test_constructor_rejects_non_numbers_before_building_the_extractor(bad, monkeypatch):
    monkeypatch.setattr(integrity, "ClassificationExtractor", lambda m: pytest.fail("extractor built"))
    with pytest.raises(TypeError) as err:
        QVM(object(), bad)
    assert str(err.value) == ARG_TYPE.format("num_classes", "int", type(bad).__name__)


def test_super_follows_the_subclass_mro():
    seen = []

    class Mixin(integrity_monitor.IntegrityMonitor):
        def __init__(self, *args, **kwargs):
            seen.append((args[1:], kwargs["detector_kind"]))
            super().__init__(*args, **kwargs)

    class Sub(QVM, Mixin):
        pass

    assert isinstance(Sub(object(), 2.5), Sub) and seen == [((2,), "v1")]


def doc(**payload):
    return json.dumps({"num_classes": 3, "hooks": ["a"], "det_update": FITTED, **payload})


UNSUPPORTED = (ValueError, "^Unsupported tarvEX artifact$")


@pytest.mark.parametrize("content, error", [
    (doc(), UNSUPPORTED), (doc(format="v1"), UNSUPPORTED), (doc(format="tarvex_integrity_v2"), UNSUPPORTED),
    (doc(format=None), UNSUPPORTED), (None, (FileNotFoundError, "a.json")), ("{no", (json.JSONDecodeError, "Expecting property name")),
    ("[1, 2]", (AttributeError, "get")), (json.dumps({"format": FORMAT}), (KeyError, "num_classes")),
    (json.dumps({"format": FORMAT, "num_classes": "12.7"}), (ValueError, "invalid literal for int")),
    (json.dumps({"format": FORMAT, "num_classes": [12]}), (TypeError, "int\\(\\) argument")),
    (doc(format=FORMAT, num_classes=True), (TypeError, "'num_classes' must be an integer, not bool")),
    *[(doc(format=FORMAT, num_classes=n), (ValueError, "'num_classes' must be a positive integer")) for n in (0, -3)],
    (doc(format=FORMAT, hooks="02"), (TypeError, "'hooks' must be a list of strings, not str")),
    (doc(format=FORMAT, hooks={"a": 1}), (TypeError, "'hooks' must be a list of strings, not dict")),
    (doc(format=FORMAT, hooks=["a", 2]), (TypeError, "'hooks' must be a list of strings, entry 1 is int")),
    (doc(format=FORMAT, det_infer={"classes": [0], "means": [[1.0, 2.0]], "inv_cov": [[1.0]]}),
     (ValueError, "inconsistent detector shapes")),
    (doc(format=FORMAT, det_infer=[FITTED]), (ValueError, "^Invalid tarvEX artifact: 'det_infer' must be an object, not list$")),
    (doc(format=FORMAT, det_update="fitted"), (ValueError, "'det_update' must be an object, not str")),
    # inverse covariances with which some far-off points score zero or less
    *[(doc(format=FORMAT, det_infer={**FITTED, "inv_cov": inv_cov}), (ValueError, message)) for inv_cov, message in [
        ([[0.0, 0.0], [0.0, 0.0]], "^inv_cov must be a finite positive-definite matrix$"),
        ([[-1.0, 0.0], [0.0, -2.0]], "positive-definite"),
        ([[1e-300, 0.0], [0.0, 1e-300]], "eigenvalues of inv_cov must lie within float32's normal range"),
    ]],
    (doc(format=FORMAT, det_infer={**FITTED, "classes": [1, 1]}), (ValueError, r"^duplicate class labels: \[1\]$")),
])
def test_rejected_artifacts_leave_the_instance_unchanged(content, error, monitor, tmp_path):
    path = tmp_path / "a.json"
    if content is not None:
        path.write_text(content)
    before = state(monitor)
    with pytest.raises(error[0], match=error[1]):
        monitor.import_json(str(path))
    assert state(monitor) == before


@pytest.fixture
def alarm():
    """Turns a call that blocks (a FIFO without a writer) into a failure."""
    def expire(signum, frame):
        raise TimeoutError("blocked")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(10)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("kind, error, message", [
    ("fifo", ValueError, "is not a regular file"), ("device", ValueError, "is not a regular file"),
    ("too-large", ValueError, "is larger than the limit of 268435456 bytes"),
    ("directory", IsADirectoryError, "Is a directory"),
])
def test_only_bounded_regular_files_are_read(kind, error, message, monitor, tmp_path, alarm):
    path = tmp_path / "a.json"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        path = pathlib.Path(os.devnull)
    elif kind == "too-large":  # sparse: a valid document, then zeros up to one byte past the limit
        path.write_text(doc(format=FORMAT))
        os.truncate(path, serialization.MAX_JSON_BYTES + 1)
    else:
        path = tmp_path
    before = state(monitor)
    with pytest.raises(error, match=message):
        monitor.import_json(str(path))
    assert state(monitor) == before


@pytest.mark.parametrize("stored", [12, 12.7, "12"])
def test_num_classes_becomes_an_int(stored, monitor, artifact):
    assert monitor.import_json(path=artifact(format=FORMAT, num_classes=stored)) is None
    assert type(monitor.num_classes) is int and monitor.num_classes == 12


@pytest.mark.parametrize("ready", [False, True])
@pytest.mark.parametrize("hooks", [{}, {"hooks": []}])
def test_no_hooks_selects_nothing_and_keeps_ready(ready, hooks, monitor, artifact):
    monitor._infer_ready = ready
    monitor.import_json(artifact(format=FORMAT, num_classes=2, **hooks))
    assert (monitor.instrumentor.selected, monitor.instrumentor.enabled, monitor._infer_ready) == ([], 0, ready)


def test_hooks_are_copied_and_enabled_once(monitor, monkeypatch):
    hooks = ["layer1", "layer2"]
    monkeypatch.setattr(integrity, "load_json", lambda path: {"format": FORMAT, "num_classes": 2, "hooks": hooks})
    monitor.import_json("ignored")
    selected = monitor.instrumentor.selected
    assert selected == ["layer1", "layer2"] and selected is not hooks and type(selected) is list
    assert (monitor.instrumentor.enabled, monitor._infer_ready) == (1, True)


class Falsy:
    def __bool__(self):
        return False

    def __setattr__(self, name, value):
        pytest.fail("falsy instrumentor touched")


@pytest.mark.parametrize("instrumentor", [None, Falsy()])
def test_falsy_instrumentor_drops_hooks(instrumentor, monitor, artifact):
    monitor.instrumentor = instrumentor
    monitor.import_json(artifact(format=FORMAT, num_classes=2, hooks=["a", "b"]))
    assert monitor.instrumentor is instrumentor and monitor._infer_ready is False


@pytest.mark.parametrize("entry", [{}, {"det_update": None, "det_infer": None}, {"det_update": {}, "det_infer": {}}])
def test_missing_or_empty_detectors_are_fresh(entry, monitor, artifact):
    monitor.import_json(artifact(format=FORMAT, num_classes=2, **entry))
    for det in (monitor.det_update, monitor.det_infer):
        assert type(det) is ConditionalMahalanobis and not det.is_fit
    assert monitor.det_update is not monitor.det_infer


def test_stored_detectors_are_rebuilt_with_from_dict(monitor, artifact, monkeypatch):
    handed = []

    class Recording(ConditionalMahalanobis):
        @staticmethod
        def from_dict(d):
            handed.append(d)
            return ConditionalMahalanobis.from_dict(d)

    monkeypatch.setattr(integrity, "ConditionalMahalanobis", Recording)
    monitor.import_json(artifact(format=FORMAT, num_classes=2, det_update=FITTED, det_infer={"reg": 0.5}))
    assert handed == [FITTED, {"reg": 0.5}]
    z = [[1.0, 1.0], [2.0, 1.0]]
    np.testing.assert_allclose(monitor.det_update.score(z, [0, 1]),
                               ConditionalMahalanobis.from_dict(FITTED).score(z, [0, 1]))
    assert monitor.det_infer.reg == 0.5 and not monitor.det_infer.is_fit


@pytest.mark.parametrize("path", [None, b"a.json", pathlib.Path("a.json"), type("S", (str,), {})("a.json")])
def test_path_must_be_exactly_str(path, monitor):
    with pytest.raises(TypeError) as err:
        monitor.import_json(path)
    assert str(err.value) == ARG_TYPE.format("path", "str", type(path).__name__)


def test_torch_model_hooks_are_enabled_for_real(artifact):
    torch = pytest.importorskip("torch")
    model = torch.nn.Sequential(torch.nn.Linear(4, 3), torch.nn.ReLU(), torch.nn.Linear(3, 2))
    m = QVM(model, 2)
    m.import_json(artifact(format=FORMAT, num_classes=2, hooks=["0", "2"]))
    m.model(torch.ones(1, 4))
    assert m._infer_ready and sorted(m.instrumentor.captured) == ["0", "2"]
    assert m.instrumentor.captured["2"].shape == (1, 2)
    # An unknown name leaves the selection and the installed hooks as they were.
    with pytest.raises(KeyError, match="no submodule named \\['nope'\\]"):
        m.import_json(artifact(format=FORMAT, num_classes=7, hooks=["0", "nope"]))
    m.instrumentor.captured.clear()
    m.model(torch.ones(1, 4))
    assert (m.num_classes, m.instrumentor.selected, sorted(m.instrumentor.captured)) == (2, ["0", "2"], ["0", "2"])


def test_lifecycle_keeps_one_module_object():
    import importlib
    assert importlib.reload(integrity) is integrity
    del sys.modules["tarvex.core.integrity"]
    try:
        again = importlib.import_module("tarvex.core.integrity")
        assert again is integrity and again.QVMIntegrityModel is QVM
    finally:
        sys.modules["tarvex.core.integrity"] = integrity


def test_import_hygiene():
    result = run_python("""
        import sys, tarvex.core.integrity
        assert not any(n.startswith(("tarvex.core.resmon", "torch", "sklearn")) for n in sys.modules)
        for n in [n for n in sys.modules if n.startswith("tarvex")]: del sys.modules[n]
        import tarvex.core.resmon
        assert not any(n in sys.modules for n in ("tarvex.core.detector", "tarvex.core.serialization", "sklearn"))
    """)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("broken, error", [
    ("types.ModuleType('tarvex.core.detector')",
     "ImportError: cannot import name 'ConditionalMahalanobis' from 'tarvex.core.detector'"),
    ("None", "ModuleNotFoundError: import of tarvex.core.detector halted; None in sys.modules"),
])
def test_failed_import_leaves_nothing_behind(broken, error):
    result = run_python(f"""
        import sys, types
        sys.modules["tarvex.core.detector"] = {broken}
        try:
            import tarvex.core.integrity
        except ImportError as e:
            print(type(e).__name__ + ": " + str(e))
        assert "tarvex.core.integrity" not in sys.modules
        del sys.modules["tarvex.core.detector"]
        import tarvex.core.integrity as m, tarvex.core.detector as d
        assert m.ConditionalMahalanobis is d.ConditionalMahalanobis and m.QVMIntegrityModel(0, 1).num_classes == 1
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == error


def test_class_creation_uses_the_base_metaclass_and_a_complete_module_from_the_table():
    result = run_python("""
        import sys, types
        keys = []
        class Recording(dict):
            def __setitem__(self, key, value):
                keys.append(key)
                super().__setitem__(key, value)
        class Meta(type):
            @classmethod
            def __prepare__(mcs, name, bases):
                keys.append((name, bases))
                return Recording()
        fake = types.ModuleType("tarvex.core.integrity_monitor")
        fake.IntegrityMonitor = Meta("IntegrityMonitor", (), {"__init__": lambda self, *a, **k: None})
        fake.ScoreResult = object()
        sys.modules[fake.__name__] = fake
        import tarvex.core.integrity as m
        assert m.IntegrityMonitor is fake.IntegrityMonitor and m.ScoreResult is fake.ScoreResult
        assert type(m.QVMIntegrityModel) is Meta
        assert keys == [("QVMIntegrityModel", (fake.IntegrityMonitor,)),
                        "__module__", "__qualname__", "__doc__", "__init__", "import_json"], keys
    """)
    assert result.returncode == 0, result.stderr


def test_second_interpreter_is_refused():
    result = run_python(SUBINTERPRETERS + textwrap.dedent("""
        if interpreters is None:
            print("unavailable"); raise SystemExit
        import tarvex.core.integrity
        print(run_in(new_interpreter(), "import tarvex.core.integrity"))
    """))
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "unavailable":
        pytest.skip("this Python has neither _interpreters nor _xxsubinterpreters")
    assert result.stdout.strip() == ("ImportError: Interpreter change detected - this module can only be "
                                     "loaded into one interpreter per process.")
