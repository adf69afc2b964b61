"""A process tree for capture tests: a parent that plays nothing itself and starts each command
given (commands separated by "--") as its child. On SIGUSR1 it starts the command after "+" through
an intermediate process, so that one plays as its grandchild. Each started player's pid is printed
as "child PID" or "grandchild PID". SIGTERM ends the whole tree.

    tone_family.py COMMAND [-- COMMAND ...] [+ COMMAND]
    tone_family.py --intermediate COMMAND
"""
import signal
import subprocess
import sys

children = []


def end(*_):
    for child in children:
        child.terminate()
    for child in children:
        child.wait()
    sys.exit(0)


def start(command, role):
    children.append(subprocess.Popen(command))
    print(role, children[-1].pid, flush=True)


def main():
    signal.signal(signal.SIGTERM, end)
    arguments = sys.argv[1:]
    if arguments[0] == "--intermediate":
        start(arguments[1:], "grandchild")
        # Waiting on the player here would hold the lock that the SIGTERM handler's wait needs.
        while True:
            signal.pause()
    later = []
    if "+" in arguments:
        later = arguments[arguments.index("+") + 1:]
        arguments = arguments[:arguments.index("+")]
    command = []
    for argument in arguments + ["--"]:
        if argument == "--":
            start(command, "child")
            command = []
        else:
            command.append(argument)

    def grandchild(*_):
        children.append(subprocess.Popen([sys.executable, __file__, "--intermediate"] + later))

    signal.signal(signal.SIGUSR1, grandchild)
    while True:
        signal.pause()


main()
