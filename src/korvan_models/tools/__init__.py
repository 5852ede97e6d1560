"""Tools around a project folder: the editor schema, the watching build and the models' site."""
