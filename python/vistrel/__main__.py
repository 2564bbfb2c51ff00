"""``python -m vistrel``: the command line."""
import sys

from vistrel.cli import main

sys.exit(main())
