from korvan_utils.config.manager import KorvanConfigManager, KorvanSettings

__all__ = ["KorvanConfigManager", "KorvanSettings"]
