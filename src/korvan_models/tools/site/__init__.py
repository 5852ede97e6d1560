"""A static site describing a project's models: one page with a diagram, opened from disk.

Every text from the project goes through the template engine's escaping, so a description
holding markup shows as text. The diagram is laid out by Graphviz's ``dot`` and kept inline in
the page, its nodes linked to the models' sections.
"""

from __future__ import annotations

import csv
import json
import os
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path

from korvan_models.pipeline import Problem, ProjectError, check_project

ASSETS = ("style.css",)
INDEX = "index.html"
ID_KEYS = ("_external_id", "external_id")
HIDDEN_KEYS = (*ID_KEYS, "_order")
CORE = {"number", "string", "boolean", "binary", "array", "dictionary", "object"}


@dataclass
class PropertyView:
    """One property as the page shows it."""

    name: str
    type: str
    models: list[str]
    required: bool
    indexed: bool
    unique: bool
    default: str | None
    options: list[str]
    options_list: str | None
    description: str | None
    field_name: str | None
    is_deleted: bool


@dataclass
class ModelView:
    """One model as the page shows it."""

    title: str
    anchor: str
    file: str
    description: str | None
    parent: str | None
    children: list[str] = field(default_factory=list)
    referenced_by: list[tuple[str, str]] = field(default_factory=list)
    properties: list[PropertyView] = field(default_factory=list)
    unique: list[list[str]] = field(default_factory=list)
    columns: list[str] = field(default_factory=list)
    records: list[tuple[str, list[object]]] = field(default_factory=list)


def anchor(title: str) -> str:
    return f"model-{title}"


def describe_type(description) -> tuple[str, list[str]]:
    """A property's type as text (``array of string``) and the models it names."""
    name, items = description.type, getattr(description, "items", None)
    models = [] if name in CORE else [name]
    if items is None:
        return name, models
    if hasattr(items, "key_type"):
        key, value = items.key_type, items.value_type
        models += [n for n in (key, value) if n not in CORE]
        return f"{name} of {key} to {value}", models
    if hasattr(items, "key"):
        (key, key_models), (value, value_models) = describe_type(items.key), describe_type(items.value)
        return f"{name} of {key} to {value}", models + key_models + value_models
    inner, inner_models = describe_type(items)
    return f"{name} of {inner}", models + inner_models


def shown(value: object) -> str:
    """A value as JSON text, as the schema file would spell it."""
    return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)


def read_records(models_dir: Path, titles: dict[Path, str]) -> dict[str, list[dict]]:
    """Every model's fixture records, by title, in load order."""
    records: dict[str, list[tuple[int, int, dict]]] = {}
    counter = 0
    for path in sorted(models_dir.glob("*/fixtures/*")):
        own = titles.get(path.parent.parent)
        if not path.is_file() or own is None:
            continue
        if path.suffix == ".json":
            data = json.loads(path.read_text("utf-8"))
            groups = {own: data} if isinstance(data, list) else data
        elif path.suffix == ".csv":
            with path.open(encoding="utf-8", newline="") as handle:
                groups = {own: list(csv.DictReader(handle))}
        else:
            continue
        for title, group in groups.items():
            for record in group:
                counter += 1
                order = record.get("_order", 0)
                try:
                    order = int(order)
                except (TypeError, ValueError):
                    order = 0
                records.setdefault(title, []).append((order, counter, record))
    return {title: [r for _o, _c, r in sorted(group, key=lambda x: x[:2])] for title, group in records.items()}


def reference_target(value: object) -> tuple[str, str] | None:
    """The model and record a fixture value refers to, if it is a reference."""
    ref = value.get("ref") if isinstance(value, dict) else None
    if isinstance(ref, dict) and isinstance(ref.get("class_name"), str) and isinstance(ref.get("object_id"), str):
        return ref["class_name"], ref["object_id"]
    return None


def model_views(project) -> list[ModelView]:
    """What the page says about each model of a checked project."""
    schemas = project.schemas
    titles = {path.parent: schema.title for path, schema in project.entries}
    records = read_records(project.models_dir, titles)
    views = {}
    for path, schema in project.entries:
        parent = schema.type if schema.type != "object" else None
        unique_names = {name for group in schema.unique for name in group}
        view = ModelView(schema.title, anchor(schema.title), path.relative_to(project.root).as_posix(),
                         schema.description, parent, unique=[list(g) for g in schema.unique])
        for name, prop in (schema.properties or {}).items():
            text, models = describe_type(prop)
            view.properties.append(PropertyView(
                name, text, list(dict.fromkeys(models)), name in schema.required, name in schema.indexed,
                name in unique_names, None if prop.default is None else shown(prop.default),
                [shown(o.value) + (f" ({o.label})" if o.label else "") for o in prop.options or []],
                prop.options_list_name, prop.description,
                prop.field_name if prop.field_name not in (None, name) else None, prop.is_deleted,
            ))
        rows = records.get(schema.title, [])
        columns = list(dict.fromkeys(k for record in rows for k in record if k not in HIDDEN_KEYS))
        view.columns = columns
        view.records = [
            (next((str(r[k]) for k in ID_KEYS if k in r), ""), [r.get(c) for c in columns]) for r in rows
        ]
        views[schema.title] = view
    for schema in schemas:
        if schema.type in views:
            views[schema.type].children.append(schema.title)
        for prop in views[schema.title].properties:
            for model in prop.models:
                if model in views:
                    views[model].referenced_by.append((schema.title, prop.name))
    return list(views.values())


def diagram(views: list[ModelView]) -> str:
    """The models' diagram as inline SVG: a node per model, linked to its section; references and inheritance."""
    import graphviz

    graph = graphviz.Digraph("models", graph_attr={"rankdir": "LR", "bgcolor": "transparent", "fontname": "sans-serif"},
                             node_attr={"shape": "box", "style": "rounded,filled", "fillcolor": "#eef3fb",
                                        "color": "#4a6fa5", "fontname": "sans-serif", "fontsize": "12"},
                             edge_attr={"fontname": "sans-serif", "fontsize": "10", "color": "#555555"})
    known = {view.title for view in views}
    for view in views:
        graph.node(view.title, view.title, id=f"node-{view.title}", URL=f"#{view.anchor}", target="_self",
                   tooltip=f"{view.title}: {len(view.properties)} properties")
    for view in views:
        if view.parent in known:
            graph.edge(view.title, view.parent, arrowhead="onormal", style="solid", color="#4a6fa5",
                       tooltip=f"{view.title} extends {view.parent}")
        for prop in view.properties:
            for model in prop.models:
                if model in known:
                    graph.edge(view.title, model, label=prop.name, style="dashed",
                               tooltip=f"{view.title}.{prop.name} refers to {model}")
    svg = graph.pipe(format="svg", encoding="utf-8")
    return svg[svg.index("<svg"):]  # the page holds it inline: no XML prolog or doctype


def render(root: Path) -> tuple[str, list[str]]:
    """The page of the project at ``root`` and the warnings met on the way."""
    import graphviz
    import jinja2
    import markupsafe

    project = check_project(root)
    views = model_views(project)
    warnings = list(project.warnings)
    try:
        svg = diagram(views)
    except graphviz.ExecutableNotFound:
        svg = None
        warnings.append("the diagram needs Graphviz's dot program (Debian's graphviz package); the site has none")
    environment = jinja2.Environment(
        loader=jinja2.PackageLoader("korvan_models.tools.site", "templates"), autoescape=True,
        undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True,
    )
    page = environment.get_template("index.html.j2").render(
        name=Path(os.path.realpath(root)).name, models=views, svg=markupsafe.Markup(svg) if svg else None,
        reference=reference_target, shown=shown,
    )
    return page, warnings


def _inside(path: Path, folder: Path) -> bool:
    path, folder = Path(os.path.realpath(path)), Path(os.path.realpath(folder))
    return path == folder or folder in path.parents


def write_site(root: Path, out: Path) -> tuple[Path, list[str]]:
    """Writes ``index.html`` and its assets into ``out``; nothing is written when the project has mistakes."""
    root, out = Path(root), Path(out)
    if _inside(out, root / "models"):
        raise ProjectError([Problem(out, "the site folder must not be inside the project's models folder")])
    if out.exists() and not out.is_dir():
        raise ProjectError([Problem(out, "the site folder exists and is not a folder")])
    page, warnings = render(root)
    files = {INDEX: page.encode("utf-8")}
    assets = resources.files(__name__) / "assets"
    for name in ASSETS:
        files[f"assets/{name}"] = (assets / name).read_bytes()
    for relative, data in files.items():
        target = out / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        temporary = target.with_name(f".{target.name}.tmp")
        try:
            temporary.write_bytes(data)
            temporary.replace(target)
        finally:
            temporary.unlink(missing_ok=True)
    return out / INDEX, warnings


