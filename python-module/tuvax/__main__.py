"""`python -m tuvax`: the same command line as the `tuvax` script."""

import sys

from tuvax.cli import main

sys.exit(main())
