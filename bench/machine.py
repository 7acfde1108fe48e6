"""Whether the machine was quiet while make bench measured (standard library only).

A goal is a ratio of two figures taken in the same run, but when another
process competes for the processors the two sides of a ratio are not hurt
alike (a two-thread case loses a processor, a whole process pays for a cold
cache), so a verdict taken then says more about the load than about the code.
Watch.start() and Watch.stop() bracket the run and measure, each time:

- the load average and the tasks waiting to run (/proc/loadavg, /proc/stat),
  sampled over a second while this program sleeps;
- a fixed calibration loop (zip-measure --calibrate): its runs' spread of
  CPU time (the median absolute deviation, which one run cut by a timer
  interrupt does not move), and how much longer they took on the clock than
  on the processor (time spent waiting for one);

and over the whole run, the processor time others used: every processor's
busy time (steal, the hypervisor giving the processor to another machine,
included) less what this program and its children used.

The first sample waits for the machine to settle (up to SETTLE seconds):
make bench starts right after its build, whose last processes and disk
writes would otherwise count as competition that the run never meets.
"""
import os, statistics, subprocess, time  # noqa: E401

# One competing process that runs all the time takes half of a 2-processor
# machine, keeps a task waiting, and makes the calibration loop wait for a
# processor for a good part of its runs. The limits sit well below that and
# above the background of system daemons and timer interrupts; machine.json
# records every measure, so a quiet run shows how far below them it stays.
OTHERS_SHARE = 0.15  # of all processors, over the whole run
WAITING = 0.5  # tasks ready to run besides this one, on average over a second
SPREAD = 0.03  # coefficient of variation of the calibration loop's CPU time
WAITED = 0.05  # calibration wall time over its CPU time, less one
DRIFT = 0.05  # the calibration's median after against before
SETTLE = 60  # seconds the first sample may wait for a quiet machine


def _busy_ticks():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    # user nice system idle iowait irq softirq steal (guest is within user)
    return sum(v[:3]) + sum(v[5:8])


def _waiting(seconds=1.0, samples=10):
    counts = []
    for _ in range(samples):
        with open("/proc/stat") as f:
            for line in f:
                if line.startswith("procs_running"):
                    counts.append(int(line.split()[1]) - 1)  # less this program, which is reading
        time.sleep(seconds / samples)
    return statistics.mean(counts)


def _loadavg():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def _own_seconds():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def calibrate(measure, runs):
    out = subprocess.run([measure, "--calibrate", str(runs)], check=True, capture_output=True, text=True).stdout
    pairs = [tuple(float(x) for x in line.split()) for line in out.splitlines()]
    cpu = [c for _, c in pairs]
    middle = statistics.median(cpu)
    return {"median_cpu_seconds": middle,
            "spread": 1.4826 * statistics.median(abs(c - middle) for c in cpu) / middle,  # ~ the CV, robustly
            "waited": statistics.median(w / c for w, c in pairs) - 1}


class Watch:
    def __init__(self, measure, quick=False):
        self.measure, self.runs = measure, 10 if quick else 25
        self.before = self.after = None

    def _sample(self):
        return {"loadavg": _loadavg(), "waiting": _waiting(), "calibration": calibrate(self.measure, self.runs)}

    def start(self):
        deadline = time.monotonic() + SETTLE
        self.before = self._sample()
        while self._unsettled(self.before) and time.monotonic() < deadline:
            time.sleep(2)
            self.before = self._sample()
        self.before["settled_seconds"] = round(SETTLE - max(0.0, deadline - time.monotonic()), 1)
        self._t0, self._busy0, self._own0 = time.monotonic(), _busy_ticks(), _own_seconds()

    def stop(self):
        elapsed = time.monotonic() - self._t0
        busy = (_busy_ticks() - self._busy0) / os.sysconf("SC_CLK_TCK")
        own = _own_seconds() - self._own0
        self.others = max(0.0, busy - own) / (elapsed * (os.cpu_count() or 1))
        self.after = self._sample()
        return self.report()

    @staticmethod
    def _unsettled(sample):
        c = sample["calibration"]
        return sample["waiting"] > WAITING or c["spread"] > SPREAD or c["waited"] > WAITED

    def reasons(self):
        """Why the machine counts as busy; empty when it was quiet."""
        r = []
        if self.others > OTHERS_SHARE:
            r.append("other processes used %.0f%% of the processors during the run" % (100 * self.others))
        for when, s in (("before", self.before), ("after", self.after)):
            c = s["calibration"]
            if s["waiting"] > WAITING:
                r.append("%.1f tasks waiting for a processor %s" % (s["waiting"], when))
            if c["spread"] > SPREAD:
                r.append("calibration loop spread %.1f%% %s" % (100 * c["spread"], when))
            if c["waited"] > WAITED:
                r.append("calibration loop waited %.0f%% of its time for a processor %s" % (100 * c["waited"], when))
        drift = self.after["calibration"]["median_cpu_seconds"] / self.before["calibration"]["median_cpu_seconds"]
        if abs(drift - 1) > DRIFT:
            r.append("calibration loop %.0f%% %s after than before" % (abs(drift - 1) * 100,
                                                                      "slower" if drift > 1 else "faster"))
        return r

    def load(self):
        return max(self.before["loadavg"], self.after["loadavg"])

    def report(self):
        return {"before": self.before, "after": self.after, "others_share": self.others, "load": self.load(),
                "busy": bool(self.reasons()), "reasons": self.reasons()}
