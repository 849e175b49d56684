"""Leak loops over QVMIntegrityModel construction and import_json, on success
and on each error path."""

import json
import pathlib

import pytest

import tarvex.core.integrity as integrity
from tarvex.core.detector import ConditionalMahalanobis

from leakcheck import assert_flat, raising


# 1000 calls per round: a leaked int or float per call (24-32 bytes) then
# outgrows the 16 KiB noise allowance even where no watched count moves.
def flat(call, watch, iterations=1000, **limits):
    assert_flat(call, watch, iterations=iterations, **limits)


def each(*calls):
    """One call that makes several, for error paths that share their code."""

    def run():
        for call in calls:
            call()

    return run


QVM = integrity.QVMIntegrityModel
INIT = vars(QVM)["__init__"]
IMPORT_JSON = vars(QVM)["import_json"]
FORMAT = "tarvex_integrity_v1"
FITTED = ConditionalMahalanobis().fit([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0], [3.0, 1.0]], [0, 0, 1, 1]).to_dict()
BROKEN_DETECTOR = {"classes": [0], "means": [[1.0, 2.0]], "inv_cov": [[1.0]]}


class Instrumentor:
    def __init__(self):
        self.selected, self.enabled = [], 0

    def enable_selected_hooks(self):
        self.enabled += 1


class FailingInstrumentor(Instrumentor):
    def enable_selected_hooks(self):
        raise LookupError("no such hook")


def module_callables():
    """What the native code reads from the module on every call."""
    return [QVM, INIT, IMPORT_JSON, integrity.ClassificationExtractor, integrity.IntegrityMonitor,
            integrity.ConditionalMahalanobis, vars(ConditionalMahalanobis)["from_dict"], integrity.load_json]


# Construction ---------------------------------------------------------------

MODEL = object()
FLOAT_CLASSES = 3.0
TEXT_CLASSES = "3"


def construction_cases():
    return {
        "int": (lambda: QVM(MODEL, 3), [MODEL]),
        "converted": (lambda: QVM(MODEL, FLOAT_CLASSES), [MODEL, FLOAT_CLASSES]),
        "keywords": (lambda: QVM(num_classes=FLOAT_CLASSES, model=MODEL), [MODEL, FLOAT_CLASSES]),
        "bad-num_classes": (raising(lambda: QVM(MODEL, TEXT_CLASSES), TypeError), [MODEL, TEXT_CLASSES]),
        "num_classes-overflow": (raising(lambda: QVM(MODEL, float("inf")), OverflowError), [MODEL]),
        # Every way of binding the arguments wrongly, in one loop.
        "argument-errors": (each(raising(lambda: QVM(), TypeError),
                                 raising(lambda: QVM(MODEL), TypeError),
                                 raising(lambda: QVM(MODEL, 3, MODEL), TypeError),
                                 raising(lambda: QVM(MODEL, 3, extra=MODEL), TypeError),
                                 raising(lambda: QVM(MODEL, 3, model=MODEL), TypeError)), [MODEL]),
    }


@pytest.mark.parametrize("case", list(construction_cases()))
def test_construction_does_not_leak(case):
    call, watch = construction_cases()[case]
    flat(call, watch + module_callables())


def test_failing_extractor_does_not_leak(monkeypatch):
    def extractor(model):
        raise ValueError("unsupported model")

    monkeypatch.setattr(integrity, "ClassificationExtractor", extractor)
    flat(raising(lambda: QVM(MODEL, 3), ValueError), [MODEL, extractor, QVM, INIT])


# import_json from files -----------------------------------------------------

@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("artifacts")

    def write(name, content):
        path = root / name
        path.write_text(content if isinstance(content, str) else json.dumps(content))
        return str(path)

    return {
        "full": write("full.json", {"format": FORMAT, "num_classes": 4, "hooks": ["a", "b"],
                                    "det_update": FITTED, "det_infer": {}, "extra": [1, 2]}),
        "minimal": write("minimal.json", {"format": FORMAT, "num_classes": "7"}),
        "wrong-format": write("wrong-format.json", {"format": "v1", "num_classes": 4}),
        "no-num_classes": write("no-num_classes.json", {"format": FORMAT}),
        "bad-num_classes": write("bad-num_classes.json", {"format": FORMAT, "num_classes": "many"}),
        "not-json": write("not-json.json", "{format: tarvex"),
        "not-object": write("not-object.json", "[1, 2, 3]"),
        "bad-det_infer": write("bad-det_infer.json", {"format": FORMAT, "num_classes": 2, "det_update": FITTED,
                                                      "det_infer": BROKEN_DETECTOR}),
        "missing": str(root / "missing.json"),
    }


@pytest.fixture
def monitor():
    m = QVM(object(), 5)
    m.instrumentor = Instrumentor()
    return m


FILE_CASES = {
    "full": None,
    "minimal": None,
    "wrong-format": ValueError,
    "no-num_classes": KeyError,
    "bad-num_classes": ValueError,
    "not-json": json.JSONDecodeError,
    "not-object": AttributeError,
    "missing": FileNotFoundError,
    "bad-det_infer": ValueError,
}


@pytest.mark.parametrize("case", list(FILE_CASES))
def test_import_json_from_files_does_not_leak(case, files, monitor):
    path, error = files[case], FILE_CASES[case]
    call = (lambda: monitor.import_json(path)) if error is None else raising(lambda: monitor.import_json(path), error)
    watch = [path, monitor, monitor.instrumentor, *module_callables()]
    # Each call opens and parses a file, and the detector loader builds NumPy
    # arrays: fewer rounds, and a looser per-call memory bound for allocator noise.
    flat(call, watch, iterations=500, bytes_per_call=64, noise_bytes=32768)


def test_wrong_path_types_do_not_leak(monitor):
    paths = [None, pathlib.Path("a.json"), type("S", (str,), {})("a.json")]
    calls = [raising(lambda p=p: monitor.import_json(p), TypeError) for p in paths]
    flat(each(*calls), [*paths, monitor, *module_callables()])


def test_import_json_argument_errors_do_not_leak(files, monitor):
    path = files["full"]
    call = each(raising(lambda: monitor.import_json(), TypeError),
                raising(lambda: monitor.import_json(path, path), TypeError),
                raising(lambda: monitor.import_json(path, path=path), TypeError),
                raising(lambda: monitor.import_json(path=path, other=path), TypeError))
    flat(call, [path, monitor, *module_callables()])


# import_json from an in-memory payload --------------------------------------
# load_json is replaced so that the very payload objects can be watched: a
# reference the native code forgets to release on any of them shows here.

def payload_cases():
    hooks = ["layer1", "layer2"]
    det_update, det_infer = dict(FITTED), {"reg": 0.5}
    good = {"format": FORMAT, "num_classes": 3.5, "hooks": hooks, "det_update": det_update, "det_infer": det_infer}
    return {
        "success": (good, None, [hooks, det_update, det_infer, good["num_classes"]]),
        "wrong-format": (dict(good, format="tarvex_integrity_v2"), ValueError, [hooks, det_update]),
        "no-format": ({"num_classes": 3, "hooks": hooks}, ValueError, [hooks]),
        "no-num_classes": ({"format": FORMAT, "hooks": hooks}, KeyError, [hooks]),
        "bad-num_classes": (dict(good, num_classes="many"), ValueError, [hooks, det_update]),
        "bad-hooks": (dict(good, hooks=3), TypeError, [det_update]),
        "bad-hook-entry": (dict(good, hooks=["layer1", 2]), TypeError, [det_update]),
        "non-positive-num_classes": (dict(good, num_classes=0), ValueError, [hooks, det_update]),
        "failing-det_update": (dict(good, det_update=BROKEN_DETECTOR), ValueError, [hooks, det_infer]),
        "failing-det_infer": (dict(good, det_infer=BROKEN_DETECTOR), ValueError, [hooks, det_update]),
    }


@pytest.mark.parametrize("case", list(payload_cases()))
def test_import_json_payload_paths_do_not_leak(case, monitor, monkeypatch):
    payload, error, values = payload_cases()[case]

    def load(path):
        return payload

    monkeypatch.setattr(integrity, "load_json", load)
    path = "in-memory"
    call = (lambda: monitor.import_json(path)) if error is None else raising(lambda: monitor.import_json(path), error)
    watch = [payload, *values, path, load, monitor, monitor.instrumentor, *module_callables()]
    flat(call, watch, bytes_per_call=32, noise_bytes=32768)


def test_failing_load_json_does_not_leak(monitor, monkeypatch):
    # A fresh exception each time: raising one instance again would grow its
    # traceback chain, which holds the frames, and look like a leak.
    def load(path):
        raise OSError("disk gone")

    monkeypatch.setattr(integrity, "load_json", load)
    flat(raising(lambda: monitor.import_json("x"), OSError), [load, monitor, *module_callables()])


def test_failing_hooks_and_falsy_instrumentor_do_not_leak(monkeypatch):
    payload = {"format": FORMAT, "num_classes": 2, "hooks": ["h"]}
    monkeypatch.setattr(integrity, "load_json", lambda path: payload)
    m = QVM(object(), 5)
    m.instrumentor = FailingInstrumentor()
    # The failed enable puts the previous selection back.
    previous = m.instrumentor.selected
    flat(raising(lambda: m.import_json("x"), LookupError),
         [payload, previous, m, m.instrumentor, *module_callables()])
    assert m.instrumentor.selected is previous
    m.instrumentor = None
    flat(lambda: m.import_json("x"), [payload, payload["hooks"], m, *module_callables()])


def test_torch_model_hooks_do_not_leak(monkeypatch):
    torch = pytest.importorskip("torch")
    model = torch.nn.Sequential(torch.nn.Linear(2, 2), torch.nn.ReLU())
    m = QVM(model, 2)
    # A model's hooks are real here: enabling them again replaces the old ones.
    payload = {"format": FORMAT, "num_classes": 2, "hooks": ["0", "1"]}
    monkeypatch.setattr(integrity, "load_json", lambda path: payload)
    flat(lambda: m.import_json("x"), [model, m, m.instrumentor, payload["hooks"], *module_callables()],
         iterations=300, bytes_per_call=64, noise_bytes=32768)
    assert len(model[0]._forward_hooks) == 1


def test_a_reference_kept_per_call_is_caught(monkeypatch):
    import ctypes

    entry = {"reg": 0.5}

    class Keeping(ConditionalMahalanobis):
        @staticmethod
        def from_dict(d):
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(d))
            return ConditionalMahalanobis()

    monkeypatch.setattr(integrity, "load_json", lambda path: {"format": FORMAT, "num_classes": 2, "det_update": entry})
    monkeypatch.setattr(integrity, "ConditionalMahalanobis", Keeping)
    m = QVM(object(), 2)
    with pytest.raises(AssertionError, match="reference counts moved"):
        assert_flat(lambda: m.import_json("x"), [entry], iterations=50)
