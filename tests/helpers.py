"""Small helpers shared by the test modules."""


def traceback_names(exc):
    """Names of the traceback entries of `exc`, outermost first."""
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names
