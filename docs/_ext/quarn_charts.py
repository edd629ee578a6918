"""Charts of the benchmark results on a page: ``{bench-chart} AREA`` shows
_static/charts/AREA.svg with a caption saying where and when it was measured (from
bench/results/AREA.json); ``{bench-charts}`` shows every chart not named in ``:exclude:``, so
the chart of a new result file appears without editing the page.
"""

from __future__ import annotations

import json
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]
RESULTS = ROOT / "bench" / "results"


def chart_nodes(directive: SphinxDirective, area: str) -> list[nodes.Node]:
    chart = Path(directive.env.srcdir) / "_static" / "charts" / f"{area}.svg"
    if not chart.exists():
        raise directive.error(f"no chart {chart}: run tools/plot_bench.py (make docs does)")
    directive.env.note_dependency(str(chart))
    # A chart of one area names its file; the summary draws on all of them.
    results = [RESULTS / f"{area}.json"] if (RESULTS / f"{area}.json").exists() else sorted(
        RESULTS.glob("*.json"))
    described = set()
    for result in results:
        directive.env.note_dependency(str(result))
        document = json.loads(result.read_text(encoding="utf-8"))
        described.add(f"{document.get('machine', 'an unnamed machine')}, "
                      f"{document.get('date', 'undated')}")
    files = ", ".join(f"bench/results/{result.name}" for result in results)
    caption = f"Measured on {'; '.join(sorted(described))} ({files})."
    figure = nodes.figure(classes=["bench-chart"])
    figure += nodes.image(uri=f"/_static/charts/{area}.svg", alt=f"benchmark chart: {area}")
    figure += nodes.caption(text=caption)
    return [figure]


class BenchChart(SphinxDirective):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        return chart_nodes(self, self.arguments[0])


class BenchCharts(SphinxDirective):
    option_spec = {"exclude": directives.unchanged}

    def run(self) -> list[nodes.Node]:
        excluded = set(self.options.get("exclude", "").split())
        charts = Path(self.env.srcdir) / "_static" / "charts"
        self.env.note_dependency(str(charts))
        out: list[nodes.Node] = []
        for chart in sorted(charts.glob("*.svg")):
            if chart.stem not in excluded:
                section_title = nodes.rubric(text=f"Area: {chart.stem}")
                out += [section_title, *chart_nodes(self, chart.stem)]
        return out


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("bench-chart", BenchChart)
    app.add_directive("bench-charts", BenchCharts)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
