"""Prints what a screen reader finds of an application over AT-SPI: its accessible tree, one
node a line, "role: name" indented by depth; with --focus, only the focused node.

usage: atspi_tree.py APPLICATION_NAME [--focus]
Exit status 0, or 1 when no application of that name is on the accessibility bus.
"""

import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def walk(node, depth, focus_only):
    role = node.get_role_name()
    name = node.get_name() or ""
    focused = node.get_state_set().contains(Atspi.StateType.FOCUSED)
    if not focus_only:
        print(f"{'  ' * depth}{role}: {name}")
    elif focused:
        print(f"{role}: {name}")
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            walk(child, depth + 1, focus_only)


def main():
    wanted = sys.argv[1]
    focus_only = "--focus" in sys.argv[2:]
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and (app.get_name() or "").lower() == wanted.lower():
            walk(app, 0, focus_only)
            return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
