"""Records, enumerations and settings shared by the framework's packages."""
