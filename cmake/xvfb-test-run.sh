#!/bin/sh
# Runs a GUI test program on a private virtual display, so that GUI tests run
# anywhere (CI has no display) and never disturb a real desktop.
# -a picks a free display number and retries when another run took it first.
export GDK_BACKEND=x11
# No accessibility bus in the sandbox: without this GTK waits for it and warns.
export NO_AT_BRIDGE=1
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
