"""The panel as a screen reader sees it, through AT-SPI; run on the test's private bus.

usage: atspi_client.py PID BUTTON
Prints one JSON line: the names of the panel's push buttons, then whether pressing BUTTON (by
its accessible name, through its Press action) returned.

usage: atspi_client.py PID --menu
Prints one JSON line: the menus (popup menus) of the panel, each with its name, whether it is
showing, and its items: name, role, description and whether each is checked.
"""
import json
import sys
import time

import pyatspi


def find_app(pid, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.get_process_id() == pid:
                return app
        time.sleep(0.2)
    raise SystemExit(f"atspi_client: no accessible application with pid {pid}")


def push_buttons(node, found, depth=0):
    if depth > 20 or node is None:
        return found
    if node.getRole() == pyatspi.ROLE_PUSH_BUTTON:
        found.append(node)
    for child in node:
        push_buttons(child, found, depth + 1)
    return found


def of_role(node, role, found, depth=0):
    if depth > 20 or node is None:
        return found
    if node.getRole() == role:
        found.append(node)
    for child in node:
        of_role(child, role, found, depth + 1)
    return found


def menus(app):
    seen = []
    for menu in of_role(app, pyatspi.ROLE_POPUP_MENU, []):
        items = []
        for item in menu:
            states = item.getState()
            items.append({"name": item.name, "role": item.getRoleName(),
                          "description": item.description,
                          "checked": states.contains(pyatspi.STATE_CHECKED)})
        seen.append({"name": menu.name, "items": items,
                     "showing": menu.getState().contains(pyatspi.STATE_SHOWING)})
    return seen


def main():
    pid, wanted = int(sys.argv[1]), sys.argv[2]
    app = find_app(pid)
    if wanted == "--menu":
        print(json.dumps({"menus": menus(app)}), flush=True)
        return
    deadline = time.monotonic() + 20
    buttons = []
    while time.monotonic() < deadline:  # the window may still be coming up
        buttons = push_buttons(app, [])
        if len(buttons) >= 37:
            break
        time.sleep(0.2)
    names = [b.name for b in buttons]
    pressed = False
    for button in buttons:
        if button.name == wanted:
            action = button.queryAction()
            for i in range(action.nActions):
                if action.getName(i).lower() == "press":
                    action.doAction(i)
                    pressed = True
                    break
            break
    print(json.dumps({"buttons": names, "pressed": pressed}), flush=True)


if __name__ == "__main__":
    main()
