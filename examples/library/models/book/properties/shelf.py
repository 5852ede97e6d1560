@property
def shelf_label(self) -> str:
    """Label printed on the shelf: genre, then the first letters of the title."""
    section = (self.genre or "general").upper()
    return f"{section}-{self.title[:3].upper()}"
