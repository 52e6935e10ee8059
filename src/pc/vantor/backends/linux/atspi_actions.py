# The part of the AT-SPI walker (atspi_walker.py) that acts on an element,
# run by it when a job acts: the walker's settings and helpers are its
# globals.

CLICK_ACTIONS = ("click", "press", "activate", "toggle")
TOGGLE_ACTIONS = ("toggle", "click")


def interfaces(node):
    try:
        return set(node.get_interfaces() or ())
    except Exception:
        return set()


def pick_action(node, preferred):
    """(index, name) of the first of the preferred actions the element
    offers, else of its first action; None when it offers none."""
    if "Action" not in interfaces(node):
        return None
    names = [Atspi.Action.get_action_name(node, i) or ""
             for i in range(Atspi.Action.get_n_actions(node))]
    for wanted in preferred:
        if wanted in names:
            return names.index(wanted), wanted
    return (0, names[0]) if names else None


def centre(node):
    """The centre of the element on the screen, or None."""
    try:
        box = node.get_extents(Atspi.CoordType.SCREEN)
    except Exception:
        return None
    if box.width <= 0 or box.height <= 0 or NO_POSITION in (box.x, box.y):
        return None
    return box.x + box.width // 2, box.y + box.height // 2


def has_state(node, state):
    try:
        return node.get_state_set().contains(state)
    except Exception:
        return False


def is_checked(node):
    return has_state(node, Atspi.StateType.CHECKED) or has_state(node, Atspi.StateType.PRESSED)


def wait_until(condition, seconds=1.0):
    """Whether the condition held within the time (applications often act
    on a request at their next idle moment)."""
    import time

    deadline = time.monotonic() + seconds
    while True:
        if condition():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)


def do_action(node, index, times=1):
    for _ in range(times):
        if not Atspi.Action.do_action(node, index):
            return False
    return True


def by_mouse(node, answer):
    point = centre(node)
    if point is None:
        return {"success": False, "error": "The element has no action and no place on the "
                                           "screen to click at"}
    answer.update(method="mouse", x=point[0], y=point[1])
    return answer


def click(node, request):
    found = pick_action(node, CLICK_ACTIONS)
    if found is None:
        return by_mouse(node, {"success": True})
    if not do_action(node, found[0], 2 if request.get("double") else 1):
        return {"success": False, "error": f"The element refused its action {found[1]!r}"}
    return {"success": True, "method": "action", "action_name": found[1]}


def toggle(node, request):
    before = is_checked(node)
    found = pick_action(node, TOGGLE_ACTIONS)
    if found is None:
        return by_mouse(node, {"success": True, "was_checked": before})
    if not do_action(node, found[0]):
        return {"success": False, "error": f"The element refused its action {found[1]!r}"}
    wait_until(lambda: is_checked(node) != before)
    return {"success": True, "method": "action", "action_name": found[1],
            "checked": is_checked(node)}


def checked_state(node, request):
    """The state after a click elsewhere: once it differs from "was_checked",
    or as it is after a moment."""
    before = request.get("was_checked")
    wait_until(lambda: is_checked(node) != before)
    return {"success": True, "checked": is_checked(node)}


def focus(node):
    """Gives the element the keyboard focus; whether it has it."""
    if has_state(node, Atspi.StateType.FOCUSED):
        return True
    try:
        Atspi.Component.grab_focus(node)
    except Exception:
        return False
    return wait_until(lambda: has_state(node, Atspi.StateType.FOCUSED))


def read_text(node):
    try:
        return Atspi.Text.get_text(node, 0, -1)
    except Exception:
        return None


def type_text(node, request):
    text, enter = request["text"], request.get("enter")
    editable = "EditableText" in interfaces(node)
    if (enter or not editable) and not focus(node):
        return {"success": False, "error": "The element could not take the keyboard focus; "
                                           "nothing was typed"}
    if not editable:
        return {"success": True, "method": "keyboard"}
    if request.get("clear"):
        done = Atspi.EditableText.set_text_contents(node, text)
    else:
        # At the caret of an element that has the focus; at the end of one
        # that has not (its caret is wherever it was left).
        caret = -1
        if has_state(node, Atspi.StateType.FOCUSED):
            try:
                caret = Atspi.Text.get_caret_offset(node)
            except Exception:
                pass
        if caret < 0:
            caret = Atspi.Text.get_character_count(node)
        done = Atspi.EditableText.insert_text(node, caret, text, len(text.encode("utf-8")))
    if not done:
        return {"success": False, "error": "The element refused the text"}
    answer = {"success": True, "method": "editable_text"}
    value = read_text(node)
    if value is not None:
        answer["value"] = value
    return answer


ITEM_LISTS = {"list", "list box", "menu", "combo box", "tree", "tree table", "table",
              "page tab list"}


def select(node, request):
    """The item whose name is the value, among the element's children or
    those of its list (or menu) child, selected through the Selection
    interface of the element, else of that child."""
    value = request["value"]
    own = "Selection" in interfaces(node)
    choices = []
    items = list(indexed_children(node))
    for i, child in items:
        name = child.get_name() or ""
        choices.append(name)
        if name == value and own:
            return selected(node, i, value)
    for _, child in items:
        if (child.get_role_name() or "") not in ITEM_LISTS:
            continue
        holder = node if own else child if "Selection" in interfaces(child) else None
        for j, item in indexed_children(child):
            name = item.get_name() or ""
            choices.append(name)
            if name == value and holder is not None:
                return selected(holder, j, value)
    named = [choice for choice in choices if choice]
    listed = ", ".join(json.dumps(choice, ensure_ascii=False) for choice in named)
    if not own and not any(
            "Selection" in interfaces(child) for _, child in items
            if (child.get_role_name() or "") in ITEM_LISTS):
        error = "The element has no items that can be selected"
    else:
        error = f"No item named {json.dumps(value, ensure_ascii=False)} to select"
    return {"success": False, "error": error + (f"; it offers {listed}" if listed else ""),
            "choices": named}


def selected(holder, index, value):
    if not Atspi.Selection.select_child(holder, index):
        return {"success": False, "error": f"The element refused to select {value!r}"}
    return {"success": True, "method": "selection", "value": value}


def act(node, request):
    return {"click": click, "toggle": toggle, "state": checked_state, "type": type_text,
            "select": select}[request["kind"]](node, request)
