#!/usr/bin/python3
"""Draws the figure of a quellbridge-render run.

Usage: quellbridge-render-plot.py DATA_FOLDER OUT.png

DATA_FOLDER holds what quellbridge-render recorded: before.f32 and after.f32
(the track's mono mix before and after processing, float32), gain-reduction.f32
(rows of time in seconds and the low, mid and high gain reduction in dB, float32)
and figure.json (sample rate, title, bands). The figure shows a spectrogram of
the track before and after, and the gain reduction per band over time.
"""

import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

MAX_COLUMNS = 1200  # spectrogram columns; long files are sampled, not averaged
FLOOR_DB = -100.0
BAND_COLOURS = ["tab:blue", "tab:orange", "tab:green"]


def spectrogram(samples, sample_rate):
    """Levels in dB (full-scale sine = 0 dB), frequencies and frame times."""
    size = 2048 if sample_rate <= 50000 else 4096
    window = np.hanning(size)
    if len(samples) < size:
        samples = np.pad(samples, (0, size - len(samples)))
    starts = np.unique(np.linspace(0, len(samples) - size, min(MAX_COLUMNS, 1 + (len(samples) - size) // (size // 4))).astype(np.int64))
    frames = np.stack([samples[s:s + size] * window for s in starts])
    magnitude = np.abs(np.fft.rfft(frames, axis=1)) * (2.0 / window.sum())
    levels = 20.0 * np.log10(np.maximum(magnitude, 1e-12))
    freqs = np.fft.rfftfreq(size, 1.0 / sample_rate)
    times = (starts + size / 2) / sample_rate
    return np.maximum(levels, FLOOR_DB).T, freqs, times


def draw_spectrogram(axis, levels, freqs, times, title, vmax):
    keep = freqs >= 20.0
    mesh = axis.pcolormesh(times, freqs[keep], levels[keep], shading="nearest", cmap="magma",
                           vmin=vmax - 90.0, vmax=vmax, rasterized=True)
    axis.set_yscale("log")
    axis.set_ylim(20.0, freqs[-1])
    axis.set_ylabel("Frequency (Hz)")
    axis.set_title(title)
    return mesh


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    folder, out_path = argv[1], argv[2]
    with open(os.path.join(folder, "figure.json"), encoding="utf-8") as f:
        meta = json.load(f)
    rate = float(meta["sample_rate"])
    before = np.fromfile(os.path.join(folder, "before.f32"), dtype=np.float32).astype(np.float64)
    after = np.fromfile(os.path.join(folder, "after.f32"), dtype=np.float32).astype(np.float64)
    reduction = np.fromfile(os.path.join(folder, "gain-reduction.f32"), dtype=np.float32).reshape(-1, 4)
    duration = max(len(before), 1) / rate

    levels_before, freqs, times = spectrogram(before, rate)
    levels_after, _, _ = spectrogram(after, rate)
    vmax = max(float(levels_before.max()), float(levels_after.max()), FLOOR_DB + 90.0)

    figure, axes = plt.subplots(3, 1, figsize=(11, 9), sharex=True,
                                gridspec_kw={"height_ratios": [3, 3, 2]}, constrained_layout=True)
    draw_spectrogram(axes[0], levels_before, freqs, times, "Track before", vmax)
    mesh = draw_spectrogram(axes[1], levels_after, freqs, times, "Track after (ducked by the key)", vmax)
    figure.colorbar(mesh, ax=axes[:2], label="Level (dB)", shrink=0.9)

    axis = axes[2]
    inside = (reduction[:, 0] >= 0.0) & (reduction[:, 0] < duration)
    for band in meta["bands"]:
        index = int(band["index"])
        label = "%s (%g - %g Hz)" % (band["name"], band["lo"], band["hi"])
        axis.plot(reduction[inside, 0], reduction[inside, 1 + index], color=BAND_COLOURS[index % 3],
                  label=label, linewidth=1.2)
    if not meta["bands"]:
        axis.text(0.5, 0.5, "not paired: no gain reduction", transform=axis.transAxes, ha="center", va="center")
    else:
        axis.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
    lowest = float(reduction[inside, 1:].min()) if inside.any() else 0.0
    axis.set_ylim(min(lowest * 1.1, -1.0), 0.5)
    axis.set_xlim(0.0, duration)
    axis.set_xlabel("Time (s)")
    axis.set_ylabel("Gain (dB)")
    axis.set_title("Gain reduction of the track per band")
    axis.grid(True, alpha=0.3)
    if meta.get("title"):
        figure.suptitle(meta["title"])
    figure.savefig(out_path, format="png", dpi=100)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
