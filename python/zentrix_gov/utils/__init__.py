"""Small services shared by the SDK: async bridges, environment switches, helpers, telemetry."""
