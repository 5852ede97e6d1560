"""What a validator call comes to, in a form two implementations can be compared by."""


def outcome(function, *args):
    try:
        return "returned", function(*args)
    except Exception as error:  # noqa: BLE001 - the comparison is the point
        return type(error), str(error)
