from pydantic import field_validator


@field_validator("status", mode="before")
@classmethod
def lower_case_status(cls, value):
    return value.lower() if isinstance(value, str) else value
