"""``python -m tovak``: the command line front end."""

import sys

from tovak.cli import main

if __name__ == "__main__":
    sys.exit(main())
