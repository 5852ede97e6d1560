"""Shared pieces of the field tests: a recording dependency generator and type descriptions."""

from korvan_utils.models.data_models.core import TypeData


class Recorder:
    """Stands in for the dependency generator and records every registration."""

    def __init__(self):
        self.log = []

    def add_python_type_dependency(self, obj):
        self.log.append(obj)

    def add_model_type_dependency(self, name):
        self.log.append(("model", name))


def td(type_, items=None):
    return TypeData(type=type_, items=items)
