"""Plugin descriptions handed to the engine."""


def load_plugin_data(config):
    return []
