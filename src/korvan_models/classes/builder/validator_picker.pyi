from collections.abc import Callable as Callable
from typing import Any as Any
from typing import ClassVar as ClassVar

from korvan_models.classes.builder.validators.choice_checks import validate_options as validate_options
from korvan_models.classes.builder.validators.mapping_checks import validate_non_empty_keys as validate_non_empty_keys
from korvan_utils.models.data_models.schema import PropertyData as PropertyData

class ValidatorPicker:
    TYPE_BASED_VALIDATORS: ClassVar[dict[str, Any]]
    @classmethod
    def process_property(
        cls, property_name: str, property_config: PropertyData
    ) -> list[tuple[str, Callable[[Any, list[Any]], Any], list[Any] | None]]: ...
