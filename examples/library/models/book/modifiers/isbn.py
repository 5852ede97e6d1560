from pydantic import field_validator


@field_validator("isbn", mode="before")
@classmethod
def normalise_isbn(cls, value):
    """Accepts ISBNs written with blanks or dashes and stores the bare digits."""
    if isinstance(value, str):
        value = value.replace("-", "").replace(" ", "")
        if not (value.isdigit() and len(value) in (10, 13)):
            raise ValueError(f"Not an ISBN: {value}")
    return value
