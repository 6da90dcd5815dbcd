<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Initialisation de Brisendale Drive...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>Initialisation de %1...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive est prêt.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 est prêt.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>Impossible de mettre à jour %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 renonce à cette mise à jour pour le moment</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 a déplacé des fichiers qui le gênaient</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>L'espace disque libre est insuffisant.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Votre quota de disque est épuisé.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Le paquet de mise à jour est endommagé.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Des fichiers d'un autre utilisateur bloquent l'opération.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Une erreur inattendue s'est produite.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>La version installée continue de fonctionner.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Détails : %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Finalisation de l'installation... %1 %</translation>
    </message>
</context>
</TS>
