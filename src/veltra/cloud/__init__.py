"""Cloud side of the client: constants, response models and services."""
