// Tests of migration.
