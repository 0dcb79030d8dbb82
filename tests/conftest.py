pytest_plugins = ["tests.plugin_services"]
