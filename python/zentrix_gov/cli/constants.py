"""Values more than one command uses."""

PROG = "python -m zentrix_gov"
# Seconds a request to the detection service, or a judge verdict, may take when --timeout is
# not given; the local model answers two requests at a time on a small machine, slowly.
DEFAULT_TIMEOUT = 60.0
LOCAL_MODEL_TIMEOUT = 300.0
RUN_HELP = "a run id, a unique start of one, or 'last'"
STORE_HELP = (
    "the run store, an SQLite file (default: $ZENTRIX_STORE, else .zentrix/runs.sqlite under "
    "the current folder)"
)
