"""The error of a case, or of a text that a suite reads, that is not written as it must be:
the readers of log and registry texts raise it as the case reader does."""


class CaseError(Exception):
    """A case folder that cannot be read as written."""
