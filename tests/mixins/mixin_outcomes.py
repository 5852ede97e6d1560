"""What a verification call gives: the validation error's arguments, or None when it passes."""

from korvan_models.errors import KorvanValidationError


def outcome(call, *groups):
    try:
        call(*groups)
    except KorvanValidationError as error:
        return error.args
    return None
