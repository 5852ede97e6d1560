"""Named option lists, kept apart from model schemas under ``models/options``."""

from pydantic import BaseModel, ConfigDict

from korvan_utils.models.data_models.schema import OptionItem


class OptionsListSchema(BaseModel):
    """A named list of allowed values that properties refer to by ``options_list_name``."""

    model_config = ConfigDict(extra="forbid")

    title: str
    description: str | None = None
    values: list[OptionItem]
