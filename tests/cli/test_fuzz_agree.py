"""Random property descriptions, names and fixture values on the example project: whatever check says, build says too."""

from __future__ import annotations

import json
import shutil

from cli_helpers import EXAMPLE, write_json
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvan_models import cli

SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.floats(allow_nan=False, width=16),
                    st.sampled_from(["", "3", "x", "paperback", "files/dune.svg", "true"]))
VALUES = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(["a", "b"]), inner, max_size=2), max_leaves=4)
TYPES = st.sampled_from(["string", "number", "boolean", "binary", "array", "dictionary", "object", "Author", "Book", "integer"])
ITEMS = st.one_of(st.none(), st.builds(lambda t: {"type": t}, TYPES),
                  st.builds(lambda k, v: {"key": {"type": k}, "value": {"type": v}}, TYPES, TYPES),
                  st.builds(lambda k, v: {"key_type": k, "value_type": v}, TYPES, TYPES))
PROPERTY = st.fixed_dictionaries({"type": TYPES}, optional={
    "items": ITEMS, "default": VALUES,
    "options": st.lists(st.builds(lambda v: {"value": v}, st.one_of(st.text(max_size=2), st.integers(0, 2), st.booleans())), max_size=3),
})


NAMES = st.sampled_from(["extra", "tags", "copies", "dimensions", "genre", "date", "Field", "copy", "model_x", "fields",
                         "x" * 64, "_a", "None", "Book", "Author", "registry"])


@settings(max_examples=20, deadline=None, suppress_health_check=list(HealthCheck))
@given(folder=st.sampled_from(["book", "rare_book"]), name=NAMES, description=PROPERTY,
       value=VALUES | st.just("absent"))
def test_check_and_build_agree_on_any_property(tmp_path_factory, folder, name, description, value):
    root = tmp_path_factory.mktemp("fuzz")
    project = root / "library"
    shutil.copytree(EXAMPLE, project)
    path = project / "models" / folder / "model.json"
    data = json.loads(path.read_text("utf-8"))
    data["properties"][name] = description
    write_json(path, data)
    if value != "absent":
        records = project / "models" / folder / "fixtures" / "more.json"
        write_json(records, [{"_external_id": "b-x", "title": "T", "isbn": "9780441172719", "vault_shelf": "V",
                              name: value}])
    checked = cli.main(["check", str(project), "--quiet"])
    built = cli.main(["build", str(project), "--out", str(root / "out"), "--quiet"])
    assert (checked, built) in ((0, 0), (2, 2)), (checked, built, description)


TITLES = st.sampled_from(["RareBook", "Rare", "Model", "Reference", "models", "Vault_Book", "RAREBook", "Rarebook",
                          "Book2", "Élan", "Object", "TypeModel", "BaseModel", "ClassVar", "Any", "List"])
PARENTS = st.sampled_from(["Book", "object", "Author", "RareBook", "Loan", "array", "Rare"])
LISTED = st.lists(st.sampled_from(["vault_shelf", "title", "insured_value", "isbn", "nope", ""]), max_size=3)


@settings(max_examples=10, deadline=None, suppress_health_check=list(HealthCheck))
@given(title=TITLES, parent=PARENTS, required=LISTED, indexed=LISTED, unique=st.lists(LISTED, max_size=2))
def test_check_and_build_agree_on_any_schema(tmp_path_factory, title, parent, required, indexed, unique):
    root = tmp_path_factory.mktemp("fuzz")
    project = root / "library"
    shutil.copytree(EXAMPLE, project)
    path = project / "models" / "rare_book" / "model.json"
    data = json.loads(path.read_text("utf-8"))
    data.update(title=title, type=parent, required=required, indexed=indexed, unique=unique)
    write_json(path, data)
    checked = cli.main(["check", str(project), "--quiet"])
    built = cli.main(["build", str(project), "--out", str(root / "out"), "--quiet"])
    assert (checked, built) in ((0, 0), (2, 2)), (checked, built, title, parent)
