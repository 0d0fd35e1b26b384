"""The tally the end-to-end checks print: one line per check ("ok" or
"FAILED" and what was checked), then "N passed, M failed", the line the
stage counts (scripts/lib/stage.sh)."""


class Checks:
    def __init__(self):
        self.results = []

    def check(self, ok, what):
        self.results.append(bool(ok))
        print("%s %s" % ("ok    " if ok else "FAILED", what), flush=True)

    def finish(self):
        """Prints the counts; the exit status: 1 when a check failed."""
        failed = self.results.count(False)
        print("%d passed, %d failed" % (len(self.results) - failed, failed))
        return 1 if failed else 0
