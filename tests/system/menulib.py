"""Menu walks the system tests share: to the main menu (past the autoboot
prompt a valid image brings), to the utilities menu, dialogs typed step by
step, the reset option and the exit status of a run."""

import pexpect

from tarnlib import MENU_PROMPT, TIMEOUT

AUTOBOOT = "Select (1, 2):"
UTIL_PROMPT = "Select option (0-17): "


def to_menu(b, *args, **kw):
    b.boot(*args, **kw)
    if b.child.expect_exact([AUTOBOOT, MENU_PROMPT]) == 0:
        b.choose("2")
        b.menu()


def to_utilities(b, *args, **kw):
    to_menu(b, *args, **kw)
    b.choose("30")
    b.expect(UTIL_PROMPT)


def talk(b, *steps):
    """Types each text (None: nothing) and waits for what follows it."""
    for typed, expected in zip(steps[::2], steps[1::2]):
        if typed is not None:
            b.choose(typed)
        b.expect(expected)


def reset(b):
    """Main menu option 9, answered yes: the board restarts as at power-on."""
    talk(b, "9", "(y/n):")
    b.choose("y")


def exit_status(b):
    b.child.expect(pexpect.EOF, timeout=2 * TIMEOUT)
    b.child.close()
    return b.child.exitstatus
