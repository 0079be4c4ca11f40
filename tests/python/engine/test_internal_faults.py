"""Values no stream can work with surface as the module's internal-fault
exception: it derives from BaseException, so `except Exception` does not hide
them, and the process goes on."""

import math

import pytest

import orvane_video as ov


def fault_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "InternalFault"
    return str(info.value)


@pytest.mark.parametrize(
    "policy, text",
    [
        (ov.ReconnectOptions(retry_delay_s=-1.0), "cannot convert float seconds to Duration: value is negative"),
        (ov.ReconnectOptions(disconnect_grace_s=math.nan),
         "cannot convert float seconds to Duration: value is either too big or NaN"),
        (ov.ReconnectOptions(retry_delay_s=math.inf),
         "cannot convert float seconds to Duration: value is either too big or NaN"),
    ],
)
def test_unusable_reconnect_durations_fail_open(policy, text):
    stream = ov.Stream(ov.Src.test(), ov.Sink.fake(), ov.StreamOptions(reconnect=policy))
    assert fault_of(stream.open) == text
    stream.close()  # still closed: nothing to do


def test_run_deadline_and_timestamps_that_cannot_be_times(streams):
    stream = streams(ov.Stream(ov.Src.app(8, 8, auto_timestamp=False), ov.Sink.app()))
    stream.open()
    assert fault_of(lambda: stream.run(-1)) == "cannot convert float seconds to Duration: value is negative"
    assert "not a valid time" in fault_of(lambda: stream.send_frame(bytes(8 * 8 * 3), timestamp_ns=2**64 - 1))
    assert fault_of(lambda: stream.recv_frame(timeout_ms=2**64 - 1))
    assert stream.send_frame(bytes(8 * 8 * 3), timestamp_ns=5) is True
