"""Long runs under `make stress`: SIGKILLs at random moments and forks while
other threads trace. A package, so that its modules never shadow the
top-level conftest."""
