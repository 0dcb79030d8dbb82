pytest_plugins = ["tests.plugin_services", "tests.plugin_judge"]
