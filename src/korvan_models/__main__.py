"""``python -m korvan_models``: the korvan-models command."""

import sys

from korvan_models.cli import main

sys.exit(main())
