@property
def full_name(self) -> str:
    return " ".join(part for part in (self.first_name, self.last_name) if part)
