"""The page in a real browser: headless Chromium lays it out at a desktop and
a phone width, and every chart's box on the screenshot must hold ink (pixels
that are neither the page's background nor a chart's empty track). The boxes
come from a copy of the page with a probe script added (the page itself has
none), read back through --dump-dom."""

import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import profilon

Image = pytest.importorskip("PIL.Image")

BACKGROUND = (255, 255, 255)
TRACK = (0xF0, 0xF2, 0xF4)

# Chromium's window is at least 500 pixels wide, so the page is laid out in
# a frame of the width under test inside a test-only outer page; the probe
# there reads the framed page's chart boxes (the page itself has no script).
OUTER = """<!DOCTYPE html><html><body style="margin:0;background:#fff">
<iframe id="f" src="page.html" style="border:0;display:block;width:{width}px;height:{height}px"></iframe>
{probe}</body></html>"""

PROBE = """<script>
document.getElementById('f').addEventListener('load', () => {
  const doc = document.getElementById('f').contentDocument;
  const boxes = [...doc.querySelectorAll('svg.chart')].map(s => {
    const r = s.getBoundingClientRect();
    return [r.left, r.top, r.width, r.height, s.getAttribute('aria-label')];
  });
  const out = document.createElement('pre');
  out.id = 'probe';
  out.textContent = JSON.stringify({height: doc.documentElement.scrollHeight, boxes});
  document.body.appendChild(out);
});
</script>"""


@pytest.fixture(scope="module")
def browser():
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        pytest.skip("chromium is not installed (apt-get install chromium, or run tools/render-report)")
    return found


def run_browser(browser, width, height, args, page):
    # The browser is not the code under test: a sanitizer run's preloaded
    # runtime and allocator switch would only make it hang.
    env = {
        k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    }
    done = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--force-device-scale-factor=1",
         "--allow-file-access-from-files", f"--window-size={max(width, 500)},{height}", *args, page.as_uri()],
        check=True, capture_output=True, timeout=180, env=env,
    )  # fmt: skip
    return done.stdout.decode("utf-8", "replace")


def undrawn_charts(browser, tmp_path, html, width):
    """The labels of the charts whose box on the screenshot holds no ink."""
    (tmp_path / "page.html").write_text(html, encoding="utf-8")
    outer = tmp_path / "outer.html"
    outer.write_text(OUTER.format(width=width, height=200, probe=PROBE), encoding="utf-8")
    dom = run_browser(browser, width, 800, ["--dump-dom", "--virtual-time-budget=10000"], outer)
    found = re.search(r'<pre id="probe">(.*?)</pre>', dom, re.S)
    assert found, "the probe did not run"
    layout = json.loads(found.group(1).replace("&quot;", '"').replace("&amp;", "&").replace("&lt;", "<"))
    height = layout["height"]
    outer.write_text(OUTER.format(width=width, height=height, probe=""), encoding="utf-8")
    shot = tmp_path / "shot.png"
    run_browser(browser, width, height, [f"--screenshot={shot}"], outer)
    pixels = np.asarray(Image.open(shot).convert("RGB"))[:, :width]
    ink = ~(np.all(pixels == BACKGROUND, axis=2) | np.all(pixels == TRACK, axis=2))
    assert layout["boxes"], "no chart on the page"
    bad = []
    for left, top, w, h, label in layout["boxes"]:
        assert w > 0 and h > 0, label
        assert left >= 0 and left + w <= width + 0.5, f"{label} sticks out at width {width}"
        box = ink[int(top) : int(top + h), int(left) : int(left + w)]
        if box.size == 0 or box.mean() < 0.005:
            bad.append(label)
    return bad


@pytest.fixture(scope="module")
def pages(bench_frames, flights):
    cache = {}

    def page(frame):
        if frame not in cache:
            df, kwargs = bench_frames["typical"]() if frame == "typical" else flights
            cache[frame] = profilon.EDA().eda_report_and_score(df, **kwargs).to_html()
        return cache[frame]

    return page


@pytest.mark.parametrize("width", [1280, 390])
@pytest.mark.parametrize("frame", ["typical", "flights"])
def test_every_chart_draws(browser, tmp_path, pages, frame, width):
    assert undrawn_charts(browser, tmp_path, pages(frame), width) == []


def test_a_chart_that_does_not_draw_is_caught(browser, tmp_path, mixed_report):
    # The same page with one panel's chart emptied: the check must name it.
    html = mixed_report.to_html()
    start = html.index("<svg", html.index('data-column="y"'))
    end = html.index("</svg>", start)
    blank = html[:start] + html[start:end].split(">", 1)[0] + "></svg>" + html[end + 6 :]
    assert undrawn_charts(browser, tmp_path, blank, 1280) == ["Histogram of y"]
