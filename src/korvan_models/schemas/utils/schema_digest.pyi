import hashlib as hashlib
import json as json

from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

def calculate_schema_digest(schema: ObjectSchema) -> str: ...
