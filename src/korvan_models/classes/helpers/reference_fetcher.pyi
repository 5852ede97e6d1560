from korvan_data.aliases.using import DEFAULT_DB_ALIAS as DEFAULT_DB_ALIAS
from korvan_data.aliases.using import LAKEHOUSE_DB_ALIAS as LAKEHOUSE_DB_ALIAS
from korvan_models.classes.manager import ClassManager as ClassManager
from korvan_models.classes.model import Model as Model
from korvan_utils.models.data_models.reference import Reference as Reference

class ReferenceFetcher:
    _reference: Reference
    def __init__(self, reference: Reference) -> None: ...
    def load_reference(self, only: list[str] | None = None, using: str | None = None) -> Model: ...
    def _load_model_class(self) -> type[Model]: ...
    def _load_record(
        self, model_class: type[Model], only: list[str] | None = None, using: str | None = None
    ) -> Model: ...
