def before_save(self) -> None:
    """Called by the storage layer before the record is written."""
    if self.copies is not None and self.copies < 0:
        raise ValueError("A book cannot have a negative number of copies")
    if not self.copies:
        self.available = False
