"""The command line, run as a user runs it: `python -m profilon_cli` in a
real process, on files written by the tests."""
