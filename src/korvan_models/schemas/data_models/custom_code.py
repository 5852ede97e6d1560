"""Custom code gathered from a model folder."""

from pydantic import BaseModel, ConfigDict


class CustomCodeSchema(BaseModel):
    """The code of one model's hooks, modifiers and properties files, joined into one text.

    ``name`` is the title of the model the code belongs to.
    """

    model_config = ConfigDict(extra="forbid")

    name: str
    code: str
