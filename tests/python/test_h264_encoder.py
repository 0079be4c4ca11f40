"""h264_encoder(): which H.264 encoder family streams will use."""

import glob
import os

import pytest

import orvane_video as ov

FAMILIES = {"x264", "openh264", "mfh264", "videotoolbox"}
VARIABLE = "ORVANE_H264_ENCODER"
LOGGER = "orvane_video.pipeline"


def h264_records(caplog):
    return [r for r in caplog.records if r.name == LOGGER and r.getMessage().startswith("[H264]")]


@pytest.fixture
def probed(monkeypatch):
    """The family chosen by probing the installed plugins, with no variable set."""
    monkeypatch.delenv(VARIABLE, raising=False)
    return ov.h264_encoder()


def test_result_is_one_of_the_known_families(probed):
    assert type(probed) is str
    assert probed in FAMILIES
    # probing never picks a family that only the variable can select
    assert probed in {"x264", "openh264"}


@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_variable_naming_a_family_is_obeyed(monkeypatch, caplog, family):
    monkeypatch.setenv(VARIABLE, family)
    assert ov.h264_encoder() == family
    assert not [r for r in h264_records(caplog) if "ignoring" in r.getMessage()]


def test_variable_is_read_on_every_call(monkeypatch, probed):
    monkeypatch.setenv(VARIABLE, "videotoolbox")
    assert ov.h264_encoder() == "videotoolbox"
    monkeypatch.setenv(VARIABLE, "mfh264")
    assert ov.h264_encoder() == "mfh264"
    monkeypatch.delenv(VARIABLE)
    assert ov.h264_encoder() == probed


@pytest.mark.parametrize(
    "value",
    ["OpenH264", "X264", " x264", "x264 ", "x264enc", "nvh264", "", "\u00d6penH264", "x%d264"],
)
def test_unknown_value_is_ignored_with_a_warning(monkeypatch, caplog, probed, value):
    monkeypatch.setenv(VARIABLE, value)
    caplog.clear()
    assert ov.h264_encoder() == probed
    warnings = [r for r in h264_records(caplog) if "ignoring" in r.getMessage()]
    assert len(warnings) == 1
    assert warnings[0].getMessage() == f"[H264] ignoring unknown ORVANE_H264_ENCODER={value}"
    assert warnings[0].levelno == 30


def test_value_that_is_not_text_counts_as_unset(monkeypatch, caplog, probed):
    # a lone surrogate escape puts the byte 0xff into the environment: not valid UTF-8
    monkeypatch.setenv(VARIABLE, "x264\udcff")
    caplog.clear()
    assert ov.h264_encoder() == probed
    assert not [r for r in h264_records(caplog) if VARIABLE in r.getMessage()]


def test_any_argument_is_refused():
    with pytest.raises(TypeError):
        ov.h264_encoder("x264")
    with pytest.raises(TypeError):
        ov.h264_encoder(None)
    with pytest.raises(TypeError):
        ov.h264_encoder(family="x264")


def _plugin_file(stem):
    for pattern in (f"/usr/lib/*/gstreamer-1.0/libgst{stem}.so", f"/usr/lib*/gstreamer-1.0/libgst{stem}.so"):
        found = glob.glob(pattern)
        if found:
            return found[0]
    return None


PROBE_SCRIPT = """
import json, logging

records = []

class Keep(logging.Handler):
    def emit(self, record):
        records.append([record.name, record.levelno, record.getMessage(), record.pathname, record.lineno])

logging.getLogger("orvane_video").setLevel(logging.DEBUG)
logging.getLogger("orvane_video").addHandler(Keep())
import orvane_video
result = orvane_video.h264_encoder()
print(json.dumps({"result": result, "records": records}))
"""


@pytest.mark.parametrize(
    "plugins, variable, expected, messages",
    [
        (["x264", "openh264"], None, "x264", []),
        (["x264"], None, "x264", []),
        (["openh264"], None, "openh264", [[20, "[H264] x264enc not found, using openh264enc"]]),
        ([], None, "x264", [[30, "[H264] no H.264 encoder available; pipeline construction will fail"]]),
        (["x264"], "openh264", "openh264", []),
        ([], "videotoolbox", "videotoolbox", []),
        (
            [],
            "OpenH264",
            "x264",
            [
                [30, "[H264] ignoring unknown ORVANE_H264_ENCODER=OpenH264"],
                [30, "[H264] no H.264 encoder available; pipeline construction will fail"],
            ],
        ),
        (
            ["openh264"],
            "X264",
            "openh264",
            [
                [30, "[H264] ignoring unknown ORVANE_H264_ENCODER=X264"],
                [20, "[H264] x264enc not found, using openh264enc"],
            ],
        ),
    ],
    ids=["both", "x264-only", "openh264-only", "none", "variable-over-probe", "variable-unchecked",
         "unknown-then-none", "unknown-then-openh264"],
)
def test_probing_with_a_restricted_plugin_set(run_python, tmp_path, plugins, variable, expected, messages):
    plugin_dir = tmp_path / "plugins"
    plugin_dir.mkdir()
    for stem in plugins:
        path = _plugin_file(stem)
        if path is None:
            pytest.skip(f"the {stem} plugin is not installed")
        os.symlink(path, plugin_dir / os.path.basename(path))
    env = {
        "GST_PLUGIN_SYSTEM_PATH_1_0": str(plugin_dir),
        "GST_PLUGIN_SYSTEM_PATH": str(plugin_dir),
        "GST_PLUGIN_PATH_1_0": None,
        "GST_PLUGIN_PATH": None,
        "GST_REGISTRY_1_0": str(tmp_path / "registry.bin"),
        "GST_REGISTRY": str(tmp_path / "registry.bin"),
        VARIABLE: variable,
    }
    out = run_python(PROBE_SCRIPT, env=env)
    assert out["result"] == expected
    h264 = [r for r in out["records"] if r[2].startswith("[H264]")]
    assert [[level, msg] for _, level, msg, _, _ in h264] == messages
    assert all(name == LOGGER for name, *_ in h264)
    # each record carries the place of its own logging call
    assert all(path.endswith(".cpp") and line > 0 for *_, path, line in h264)
    assert len({(path, line) for *_, path, line in h264}) == len(h264)
