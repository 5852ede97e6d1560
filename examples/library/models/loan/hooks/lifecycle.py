from typing import ClassVar

MAX_DAYS: ClassVar[int] = 60


def before_save(self) -> None:
    """Called by the storage layer before the record is written."""
    if self.days is not None and self.days > self.MAX_DAYS:
        raise ValueError(f"A loan lasts at most {self.MAX_DAYS} days")


def extend(self, days: int = 7) -> None:
    """Extends the loan; the status check runs again on assignment."""
    self.days = (self.days or 0) + days
    self.extensions = (self.extensions or 0) + 1
