"""Draws a benchmark report: latency CDFs and idle cost against device count."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def _cdf(ax, samples, label, style):
    if not samples:
        return
    s = sorted(samples)
    n = len(s)
    ax.step(s, [(i + 1) / n for i in range(n)], style, where="post", label=f"{label} (n={n})", linewidth=1.2)


def plot(report, path):
    stages = report.get("stages", {})
    fig, (lat, idle) = plt.subplots(1, 2, figsize=(9, 3.4), dpi=80)

    rt = stages.get("roundtrip", {}).get("samples", {})
    _cdf(lat, rt.get("baseline_ms"), "direct TCP", "k-")
    _cdf(lat, rt.get("service_ms"), "USB, 1 device", "b-")
    _cdf(lat, stages.get("scale", {}).get("samples", {}).get("latency_ms"), "USB, 32 at once", "c-")
    serial = stages.get("serial", {}).get("samples", {})
    _cdf(lat, serial.get("protocol3_ms"), "serial protocol 3", "g--")
    _cdf(lat, serial.get("protocol2_ms"), "serial protocol 2", "r--")
    lat.set_xscale("log")
    lat.set_xlabel("round trip, ms")
    lat.set_ylabel("fraction")
    lat.set_title("latency CDF", fontsize=10)
    lat.grid(True, which="both", alpha=0.3)
    if lat.has_data():
        lat.legend(fontsize=7, loc="lower right")

    figures = stages.get("idle", {}).get("figures", {})
    usb = sorted((m["devices"], m["cpu_percent"], m["switches_per_s"]) for m in figures.values() if m.get("kind") == "usb")
    if usb:
        xs = [u[0] for u in usb]
        idle.plot(xs, [u[1] for u in usb], "bo-", label="CPU % of a core")
        idle.set_xticks(xs)
        sw = idle.twinx()
        sw.plot(xs, [u[2] for u in usb], "s:", color="tab:orange", label="context switches/s")
        sw.set_ylabel("switches/s", fontsize=8)
        sw.set_ylim(bottom=0)
        lines = idle.get_lines() + sw.get_lines()
        idle.legend(lines, [l.get_label() for l in lines], fontsize=7, loc="upper left")
    idle.set_ylim(bottom=0)
    idle.set_xlabel("idle USB devices")
    idle.set_ylabel("CPU % of a core")
    idle.set_title("idle cost", fontsize=10)
    idle.grid(True, alpha=0.3)

    load = report.get("machine", {}).get("loadavg_start")
    fig.suptitle(f"kiv {report.get('commit') or ''}, {report.get('machine', {}).get('cpus')} CPUs"
                 + (f", load {load[0]:.1f} at start" if load else ""), fontsize=9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return f"plot: {path}"
