"""Model building: schema loading, verification and model class generation."""
