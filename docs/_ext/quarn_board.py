"""The ``board`` directive: a position drawn by quarn_data.svg into the page.

    ```{board} rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3
    :lastmove: e2e4
    :arrows: g8f6 e7e5
    :orientation: black
    :size: 300

    An optional caption.
    ```
"""

from __future__ import annotations

import html

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective


class BoardDirective(SphinxDirective):
    required_arguments = 1
    final_argument_whitespace = True
    has_content = True
    option_spec = {
        "lastmove": directives.unchanged,
        "arrows": directives.unchanged,
        "orientation": lambda text: directives.choice(text, ("white", "black")),
        "size": directives.positive_int,
    }

    def run(self) -> list[nodes.Node]:
        import quarn_chess
        import quarn_data

        try:
            picture = quarn_data.svg(
                quarn_chess.Board(self.arguments[0]),
                orientation=self.options.get("orientation", "white"),
                lastmove=self.options.get("lastmove"),
                arrows=self.options.get("arrows", "").split(),
                size=self.options.get("size", 280),
            )
        except (ValueError, TypeError) as error:
            raise self.error(f"board: {error}") from error
        caption = " ".join(self.content).strip()
        figure = ['<figure class="quarn-board">', picture]
        if caption:
            figure.append(f"<figcaption>{html.escape(caption)}</figcaption>")
        figure.append("</figure>")
        return [nodes.raw("", "\n".join(figure), format="html")]


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("board", BoardDirective)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
