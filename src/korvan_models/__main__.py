"""``python -m korvan_models``: the korvan-models command."""

from korvan_models.cli import command

command()
