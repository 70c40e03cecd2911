"""The storm, load and lost-server engine of scripts/storm, and of the
short versions in tests/e2e/test_storm_load.py.

    cases         the storm's cases: mutated and random stubs (make_case)
    damage        broken PDU sequences, binds and connections among them
    oracle        the independent check of an answer against the decoded request
    runner        runs one case and counts what came back
    workers       storm(): the cases sent by several workers, with health checks
    lost          a lost server: watching it, finding the case that ended it, reporting
    load          many calls held inside the server at once, then released
    command       the command line of scripts/storm and its storm phases
    command_load  its load, STOP and TERMINATE phases
"""
