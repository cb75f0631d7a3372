#!/usr/bin/python3
"""Reads a recording the way GStreamer-based players and editors do (qtdemux, avdec_h264).

Usage: gst_reader.py FILE OUTDIR [SECONDS ...]

Prints one line per finding:
  DURATION <seconds>                      what the discoverer reports
  DECODED <video frames> <video end> <audio end> <error or ->
  SEEK <requested> <shown pts> <width> <height> <file>   an RGB picture shown after a seek
  SEEKFAILED <requested> <why>
"""
import os
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstPbutils", "1.0")
from gi.repository import Gst, GstPbutils  # noqa: E402

TIMEOUT = 60 * Gst.SECOND


def discover(uri):
    info = GstPbutils.Discoverer.new(TIMEOUT).discover_uri(uri)
    print("DURATION %.6f" % (info.get_duration() / Gst.SECOND))


def decode_all(uri):
    """Decodes every stream to the end, as fast as it goes."""
    pipeline = Gst.Pipeline.new("decode")
    source = Gst.ElementFactory.make("uridecodebin")
    source.set_property("uri", uri)
    pipeline.add(source)
    seen = {"frames": 0, "video": 0.0, "audio": 0.0}

    def on_pad(_, pad):
        kind = "video" if pad.query_caps(None).to_string().startswith("video") else "audio"
        sink = Gst.ElementFactory.make("fakesink")
        sink.set_property("sync", False)
        sink.set_property("signal-handoffs", True)

        def handoff(_sink, buffer, _pad):
            if buffer.pts == Gst.CLOCK_TIME_NONE:
                return
            end = (buffer.pts + max(buffer.duration, 0) if buffer.duration != Gst.CLOCK_TIME_NONE else buffer.pts)
            seen[kind] = max(seen[kind], end / Gst.SECOND)
            if kind == "video":
                seen["frames"] += 1

        sink.connect("handoff", handoff)
        pipeline.add(sink)
        sink.sync_state_with_parent()
        pad.link(sink.get_static_pad("sink"))

    source.connect("pad-added", on_pad)
    pipeline.set_state(Gst.State.PLAYING)
    message = pipeline.get_bus().timed_pop_filtered(TIMEOUT, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    error = "-"
    if message is None:
        error = "timeout"
    elif message.type == Gst.MessageType.ERROR:
        error = message.parse_error()[0].message.replace("\n", " ")
    pipeline.set_state(Gst.State.NULL)
    print("DECODED %d %.6f %.6f %s" % (seen["frames"], seen["video"], seen["audio"], error))


def seek_pictures(uri, outdir, positions):
    """Opens the file once, then seeks to each position (accurately, as an editor does) and keeps
    the picture shown there."""
    pipeline = Gst.ElementFactory.make("playbin")
    pipeline.set_property("uri", uri)
    video = Gst.parse_bin_from_description(
        "videoconvert ! appsink name=pictures sync=false caps=video/x-raw,format=RGB", True)
    sink = video.get_by_name("pictures")
    pipeline.set_property("video-sink", video)
    pipeline.set_property("audio-sink", Gst.ElementFactory.make("fakesink"))
    pipeline.set_state(Gst.State.PAUSED)
    if pipeline.get_state(TIMEOUT)[0] != Gst.StateChangeReturn.SUCCESS:
        for seconds in positions:
            print("SEEKFAILED %s cannot-open" % seconds)
        return
    for index, seconds in enumerate(positions):
        flags = Gst.SeekFlags.FLUSH | Gst.SeekFlags.ACCURATE
        if not pipeline.seek_simple(Gst.Format.TIME, flags, int(float(seconds) * Gst.SECOND)):
            print("SEEKFAILED %s refused" % seconds)
            continue
        pipeline.get_state(TIMEOUT)
        sample = sink.emit("pull-preroll")
        if sample is None:
            print("SEEKFAILED %s no-picture" % seconds)
            continue
        buffer = sample.get_buffer()
        structure = sample.get_caps().get_structure(0)
        width, height = structure.get_value("width"), structure.get_value("height")
        ok, mapped = buffer.map(Gst.MapFlags.READ)
        stride = len(mapped.data) // height
        path = os.path.join(outdir, "seek-%d.rgb" % index)
        with open(path, "wb") as out:
            for row in range(height):
                out.write(mapped.data[row * stride:row * stride + width * 3])
        buffer.unmap(mapped)
        print("SEEK %s %.6f %d %d %s" % (seconds, buffer.pts / Gst.SECOND, width, height, path))
    pipeline.set_state(Gst.State.NULL)


def main():
    Gst.init(None)
    path, outdir, positions = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3:]
    uri = Gst.filename_to_uri(path)
    discover(uri)
    decode_all(uri)
    if positions:
        seek_pictures(uri, outdir, positions)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
