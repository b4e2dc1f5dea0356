"""Command line: `python -m quandrel demo|inspect|check|bench|build|push|sync`."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
